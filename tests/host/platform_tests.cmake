# Tests of the bench host's platform facilities.
snaptree_wine_test(NAME import_patch_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/import_patch_test.cpp
                   LIBS importpatch DEPENDS harbek)
snaptree_wine_test(NAME backup_stream_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/backup_stream_test.cpp
                   LIBS backupstream test_folders)
snaptree_wine_test(NAME handler_standins_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/handler_standins_test.cpp
                   LIBS regreplacerecorder comcatalog_control testservices test_folders ole32 oleaut32 uuid
                   DEPENDS simcomcatalog)
# Installs the handlers' services, whose names are fixed.
set_tests_properties(handler_standins_test PROPERTIES RESOURCE_LOCK handler_services)
