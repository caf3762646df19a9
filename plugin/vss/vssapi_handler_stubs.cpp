// Writers whose handler class is not there yet get the plain record; each handler's own source
// replaces its line here.
#include "vssapi.h"

#define PLAIN_HANDLER(factory)                                                                   \
  vssapi_writer_t* factory(::hpContext* ctx, IVssBackupComponents* components,                   \
                           IVssExamineWriterMetadata* metadata) {                                \
    return vssapi_writer_plain_factory(ctx, components, metadata);                               \
  }

PLAIN_HANDLER(vssapi_writer_system_factory)
PLAIN_HANDLER(vssapi_writer_registry_factory)
PLAIN_HANDLER(vssapi_writer_complusregdb_factory)
