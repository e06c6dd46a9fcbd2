# halvctl.exe end to end (halvctl_e2e under Wine), the schema check of the JSON documents it
# printed (run natively with Debian's python3-jsonschema, after halvctl_e2e), and the check that
# the shipped program is a console program importing only system DLLs.
# Included from this folder's CMakeLists.txt.
add_executable(halvctl_e2e halvctl_e2e.cpp)
target_include_directories(halvctl_e2e PRIVATE ${PROJECT_SOURCE_DIR})
target_include_directories(halvctl_e2e SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/manager/cli/third_party)
target_link_libraries(halvctl_e2e PRIVATE halv_e2e_support halv_sim advapi32)
add_dependencies(halvctl_e2e HALVSIM halvctl)
set(HALVCTL_JSON_OUT ${CMAKE_CURRENT_BINARY_DIR}/halvctl-json)
add_test(NAME halvctl_e2e
         COMMAND halvctl_e2e $<TARGET_FILE:HALVSIM> $<TARGET_FILE:halvctl>
                 ${PROJECT_SOURCE_DIR}/sim/populations ${HALVCTL_JSON_OUT})
set_tests_properties(halvctl_e2e PROPERTIES LABELS e2e RUN_SERIAL TRUE TIMEOUT 300)

find_program(HALV_DEBIAN_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(HALV_DEBIAN_PYTHON3 python3)
set(HALVCTL_JSON_DOCS)
foreach(name default default-optical healthy no-adapter unreadable-device unopened-port)
    list(APPEND HALVCTL_JSON_DOCS ${HALVCTL_JSON_OUT}/${name}.json)
endforeach()
add_test(NAME halvctl_e2e_json_schema
         COMMAND ${HALV_DEBIAN_PYTHON3} ${PROJECT_SOURCE_DIR}/tests/cli/validate_json.py
                 ${PROJECT_SOURCE_DIR}/docs/halvctl.schema.json ${HALVCTL_JSON_DOCS})
set_tests_properties(halvctl_e2e_json_schema PROPERTIES LABELS e2e DEPENDS halvctl_e2e)

add_test(NAME halvctl_exe_imports
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_console_program.sh $<TARGET_FILE:halvctl>)
set_tests_properties(halvctl_exe_imports PROPERTIES LABELS e2e)

# The textfiles halvctl_e2e had halvctl.exe write, read by Debian's promtool.
# (scripts/deps.sh windows installs it; without it the test fails with "promtool: not found").
find_program(HALV_PROMTOOL promtool)
if(NOT HALV_PROMTOOL)
    set(HALV_PROMTOOL promtool)
endif()
add_test(NAME halvctl_e2e_metrics
         COMMAND sh -c "for f in \"$@\"; do echo \"$f\"; \"${HALV_PROMTOOL}\" check metrics <\"$f\" || exit 1; done" --
                 ${HALVCTL_JSON_OUT}/metrics/halv.prom ${HALVCTL_JSON_OUT}/metrics-fault/halv.prom
                 ${HALVCTL_JSON_OUT}/metrics-unreadable/halv.prom
                 ${HALVCTL_JSON_OUT}/metrics-unopened/halv.prom)
set_tests_properties(halvctl_e2e_metrics PROPERTIES LABELS e2e DEPENDS halvctl_e2e)
