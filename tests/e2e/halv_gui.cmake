# HALV.exe driven end to end by window messages (halv_gui_e2e, halv_maintenance_e2e), and the
# launcher that starts HALV.exe against the simulator driver for the run script (halv_launcher).
# Included from this folder's CMakeLists.txt.

# The probe the GUI tests load into HALV.exe for what only its own process can read; it lies
# beside the test programs, where the driver looks for it.
add_library(halv_probe SHARED halv_probe.cpp)
set_target_properties(halv_probe PROPERTIES PREFIX "" OUTPUT_NAME halv_probe)
target_link_libraries(halv_probe PRIVATE user32)

add_library(halv_gui_driver STATIC halv_gui_driver.cpp)
target_include_directories(halv_gui_driver PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
target_link_libraries(halv_gui_driver PUBLIC halv_simctl comctl32 user32)

add_executable(halv_gui_e2e halv_gui_e2e.cpp)
target_link_libraries(halv_gui_e2e PRIVATE halv_e2e_support halv_gui_driver halv_sim advapi32)
add_dependencies(halv_gui_e2e HALVSIM HALV halv_probe)
add_test(NAME halv_gui_e2e COMMAND halv_gui_e2e $<TARGET_FILE:HALVSIM> $<TARGET_FILE:HALV>)
set_tests_properties(halv_gui_e2e PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 300)

add_executable(halv_launcher halv_launcher.cpp)
target_link_libraries(halv_launcher PRIVATE halv_gui_driver halv_sim halv_simctl)
add_dependencies(halv_launcher HALVSIM HALV)

# HALV.exe's maintenance commands (BIOS, queued commands, transfer mode), driven the same way.
add_executable(halv_maintenance_e2e halv_maintenance_e2e.cpp)
target_link_libraries(halv_maintenance_e2e PRIVATE halv_e2e_support halv_gui_driver halv_sim advapi32)
add_dependencies(halv_maintenance_e2e HALVSIM HALV halv_probe)
add_test(NAME halv_maintenance_e2e COMMAND halv_maintenance_e2e $<TARGET_FILE:HALVSIM> $<TARGET_FILE:HALV>)
set_tests_properties(halv_maintenance_e2e PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 300)
