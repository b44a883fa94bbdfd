# End-to-end tests run against a lab of network namespaces (lab/lab). A lab is a CTest
# fixture: lab_NAME_up brings it up before the first test that needs it, lab_NAME_down
# removes it after the last. Without root the lab script exits with 77 and the tests skip
# themselves, so an unprivileged `ctest` reports them as skipped, not failed.

set(VELQORIN_LAB_SCRIPT ${PROJECT_SOURCE_DIR}/lab/lab)
set(VELQORIN_LAB_PREFIX "vqt-" CACHE STRING
    "Prefix of the lab (network namespace) names the e2e tests create")

# velqorin_add_lab(NAME [ADAPTERS K] [SEGMENTS S] [MAC_BASE XX] [PPP N])
# PPP N adds N point-to-point links joined by velqorin-tun-relay (lab/README.md).
function(velqorin_add_lab name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "ADAPTERS;SEGMENTS;MAC_BASE;PPP" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "velqorin_add_lab(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_ADAPTERS)
    set(arg_ADAPTERS 1)
  endif()
  if(NOT arg_SEGMENTS)
    set(arg_SEGMENTS 1)
  endif()
  if(NOT arg_MAC_BASE)
    set(arg_MAC_BASE 00)
  endif()
  set(ppp_args "")
  if(arg_PPP)
    if(NOT TARGET velqorin-tun-relay)
      message(FATAL_ERROR "velqorin_add_lab(${name}): PPP needs the velqorin-tun-relay target")
    endif()
    set(ppp_args --ppp ${arg_PPP} --relay $<TARGET_FILE:velqorin-tun-relay>)
  endif()
  set(lab ${VELQORIN_LAB_PREFIX}${name})
  # --replace: a lab left behind by a run that was killed does not block the next one.
  add_test(NAME lab_${name}_up
    COMMAND ${VELQORIN_LAB_SCRIPT} up ${lab} --replace --adapters ${arg_ADAPTERS}
            --segments ${arg_SEGMENTS} --mac-base ${arg_MAC_BASE} ${ppp_args})
  add_test(NAME lab_${name}_down COMMAND ${VELQORIN_LAB_SCRIPT} down ${lab})
  set_tests_properties(lab_${name}_up PROPERTIES FIXTURES_SETUP lab_${name})
  set_tests_properties(lab_${name}_down PROPERTIES FIXTURES_CLEANUP lab_${name})
  set_tests_properties(lab_${name}_up lab_${name}_down PROPERTIES
    LABELS e2e RUN_SERIAL TRUE SKIP_RETURN_CODE 77 TIMEOUT 60)
  set_property(GLOBAL PROPERTY VELQORIN_LAB_${name} ${lab})
endfunction()

# velqorin_add_e2e_test(TARGET LAB NAME [TIMEOUT SECONDS] [LABELS LABEL...])
# Registers each GoogleTest case of TARGET as a CTest test in the lab NAME, with
#   VELQORIN_LAB         the lab's full name (namespaces LAB-ws and LAB-lan)
#   VELQORIN_LAB_SCRIPT  the path of lab/lab
#   VELQORIN_BOX_SIM     the path of velqorin-box-sim, empty while it is not built
# in its environment. Tests derive from velqorin::e2e::LabTest to skip without root.
function(velqorin_add_e2e_test target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "LAB;TIMEOUT" "LABELS")
  get_property(lab GLOBAL PROPERTY VELQORIN_LAB_${arg_LAB})
  if(NOT arg_LAB OR NOT lab)
    message(FATAL_ERROR "velqorin_add_e2e_test(${target}): LAB must name a velqorin_add_lab()")
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  set(sim "")
  if(TARGET velqorin-box-sim)
    set(sim $<TARGET_FILE:velqorin-box-sim>)
    add_dependencies(${target} velqorin-box-sim)
  endif()

  gtest_discover_tests(${target}
    TEST_LIST ${target}_TESTS
    NO_PRETTY_VALUES
    PROPERTIES LABELS e2e RUN_SERIAL TRUE FIXTURES_REQUIRED lab_${arg_LAB} TIMEOUT ${arg_TIMEOUT})
  # gtest_discover_tests flattens list-valued properties (ENVIRONMENT, LABELS) into separate
  # ones, so those are set by a script that CTest reads after the discovered tests.
  set(env_script ${CMAKE_CURRENT_BINARY_DIR}/${target}_environment.cmake)
  file(GENERATE OUTPUT ${env_script} CONTENT
"if(${target}_TESTS)
  set_tests_properties(\${${target}_TESTS} PROPERTIES ENVIRONMENT
    \"VELQORIN_LAB=${lab};VELQORIN_LAB_SCRIPT=${VELQORIN_LAB_SCRIPT};VELQORIN_BOX_SIM=${sim}\"
    LABELS \"e2e;${arg_LABELS}\")
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${env_script})
endfunction()
