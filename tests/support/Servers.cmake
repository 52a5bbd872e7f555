# Real servers for the network tests of this build tree: nginx (http and
# https) and the scripted fault server, on free 127.0.0.1 ports. The ctest
# fixture "servers" starts them before the first test that requires it and
# stops them after the last one, also when tests fail:
#
#   sf_add_test(my_test SOURCES ... FIXTURES servers)
#
# Tests find ports, certificates and the document root through the file
# named by SF_TEST_SERVERS (set by sf_add_test), read by support/TestServers.
# The servers are native processes; Wine programs reach them on 127.0.0.1.
set(SF_TEST_SERVERS_DIR "${CMAKE_BINARY_DIR}/test-servers")
set(SF_TEST_SERVERS_ENV "${SF_TEST_SERVERS_DIR}/servers.env")
set(_sf_servers_scripts "${CMAKE_CURRENT_LIST_DIR}/servers")

# With the stand-in engine built, its update content is served as well.
set(_sf_servers_engine)
if(TARGET ldDownload)
  set(_sf_servers_engine $<TARGET_FILE:ldDownload> ${SF_ENGINE_VERSION})
endif()
add_test(NAME servers_start
  COMMAND bash ${_sf_servers_scripts}/start-servers ${SF_TEST_SERVERS_DIR} ${_sf_servers_engine})
set_tests_properties(servers_start PROPERTIES FIXTURES_SETUP servers TIMEOUT 120
  LABELS "net;api;ui")

add_test(NAME servers_stop
  COMMAND bash ${_sf_servers_scripts}/stop-servers ${SF_TEST_SERVERS_DIR})
set_tests_properties(servers_stop PROPERTIES FIXTURES_CLEANUP servers TIMEOUT 60
  LABELS "net;api;ui")
