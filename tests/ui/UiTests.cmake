# Windows UI tests: real windows under Wine on an Xvfb display that the
# harness (support/ui-run.in) starts for each program and ends afterwards,
# with a Wine prefix of their own. ctest runs them one at a time.
set(SF_UI_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix-ui")
set(SF_SCREENSHOT_DIR "${CMAKE_BINARY_DIR}/screenshots")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/support/ui-run.in ${CMAKE_BINARY_DIR}/ui-run @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
string(REPLACE "/" "\\\\" SF_SCREENSHOT_ARG "Z:${SF_SCREENSHOT_DIR}/")

# sf_add_ui_test(name SOURCES ...): a UI test program with the launcher's
# framework, controls and resources, and the tests' own dialog templates.
function(sf_add_ui_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;FIXTURES" ${ARGN})
  sf_add_test(${name} SOURCES ${T_SOURCES} ui/UiTestSupport.cpp ui/ui_test.rc
    $<TARGET_OBJECTS:launcher_resources> LIBS launcher_ui ${T_LIBS} FIXTURES ${T_FIXTURES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/ui-run)
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "SF_SCREENSHOT_DIR=${SF_SCREENSHOT_ARG}")
  set_tests_properties(${name} PROPERTIES RESOURCE_LOCK ui_display)
endfunction()

sf_add_ui_test(ui_framework SOURCES ui/test_framework.cpp)
sf_add_ui_test(ui_controls SOURCES
  ui/test_skin_button.cpp
  ui/test_image_controls.cpp
  ui/test_resources.cpp
  ui/test_screenshots.cpp
)

sf_add_ui_test(ui_animated_picture SOURCES ui/test_animated_picture.cpp)
set_tests_properties(ui_animated_picture PROPERTIES FIXTURES_REQUIRED test_gifs)
sf_add_ui_test(ui_skin_tooltip SOURCES ui/test_skin_tooltip.cpp)
sf_add_ui_test(ui_dialogs SOURCES ui/test_dialogs.cpp)

# The launcher's content for its own tests, in the test servers' document root.
add_test(NAME launcher_content
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/support/make-launcher-content.sh
    ${SF_TEST_SERVERS_ENV} $<TARGET_FILE:DemoInstaller>)
set_tests_properties(launcher_content PROPERTIES FIXTURES_SETUP launcher_content
  FIXTURES_REQUIRED servers LABELS ui)
sf_add_ui_test(ui_launcher SOURCES ui/test_launcher.cpp LIBS launcher_dialog
  FIXTURES "servers;launcher_content")
add_dependencies(ui_launcher ldDownload sf_marker_program)
# The program put in place of a checked installer.
target_compile_definitions(ui_launcher PRIVATE SF_MARKER_PROGRAM="$<TARGET_FILE:sf_marker_program>")
# The launcher's texts are compared as the code page 949 bytes it shows.
target_compile_options(ui_launcher PRIVATE -finput-charset=UTF-8 -fexec-charset=CP949)
