#include "host_messages.h"

// The host's tables, stored by loadPlugin.
hFuncs* hfuncs;
hInfo* hinfo;
