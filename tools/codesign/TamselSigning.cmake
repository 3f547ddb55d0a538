# Signed copies of build outputs, made with tamsel-codesign and the test PKI.
#
# The test PKI (tools/codesign/make-test-pki.sh) is generated once, at build time, into
# ${TAMSEL_TEST_PKI_DIR} (= ${CMAKE_BINARY_DIR}/test-pki); the target tamsel_test_pki makes it.
# Signing identities: team (OU "Q4TZ7WMR2K", via an intermediate), otherteam (another OU, same
# root), rogue (OU "Q4TZ7WMR2K" under an unrelated root). The anchor is ${TAMSEL_TEST_PKI_DIR}/root.pem.
#
#   tamsel_sign_file(INPUT <file> OUTPUT <file> IDENTITY <identity>
#                    [IDENTIFIER <id>] [DEPENDS <files or targets>...])
#     A custom command that writes a signed copy of INPUT at OUTPUT. Attach OUTPUT to a target
#     (a source of it, or DEPENDS of a custom target) in the same directory.
#
#   tamsel_sign_target(<target> <identity> [OUTPUT <file>] [IDENTIFIER <id>])
#     A custom target <target>_signed_<identity>, built by default, that writes a signed copy of
#     <target>'s file at OUTPUT (default ${CMAKE_CURRENT_BINARY_DIR}/signed/<identity>/<target>).
#     IDENTIFIER defaults to <target>. Sets TAMSEL_SIGNED_FILE (the path) and TAMSEL_SIGNED_TARGET
#     (the custom target's name) in the caller's scope.
include_guard(GLOBAL)

set(TAMSEL_TEST_PKI_DIR "${CMAKE_BINARY_DIR}/test-pki" CACHE INTERNAL "Test code-signing PKI")
set(TAMSEL_TEST_PKI_STAMP "${TAMSEL_TEST_PKI_DIR}/.cmake-stamp" CACHE INTERNAL "")
set(TAMSEL_TEST_PKI_IDENTITIES team otherteam rogue CACHE INTERNAL "")

function(tamsel_sign_file)
  cmake_parse_arguments(S "" "INPUT;OUTPUT;IDENTITY;IDENTIFIER" "DEPENDS" ${ARGN})
  if(NOT S_INPUT OR NOT S_OUTPUT OR NOT S_IDENTITY)
    message(FATAL_ERROR "tamsel_sign_file needs INPUT, OUTPUT and IDENTITY")
  endif()
  if(NOT S_IDENTITY IN_LIST TAMSEL_TEST_PKI_IDENTITIES)
    message(FATAL_ERROR "tamsel_sign_file: unknown identity '${S_IDENTITY}' "
                        "(one of: ${TAMSEL_TEST_PKI_IDENTITIES})")
  endif()
  set(pki "${TAMSEL_TEST_PKI_DIR}")
  set(args --key "${pki}/${S_IDENTITY}.key" --cert "${pki}/${S_IDENTITY}.pem")
  if(S_IDENTITY STREQUAL "team")
    list(APPEND args --chain "${pki}/team-chain.pem")
  endif()
  if(DEFINED S_IDENTIFIER)
    list(APPEND args --identifier "${S_IDENTIFIER}")
  endif()
  get_filename_component(outdir "${S_OUTPUT}" DIRECTORY)
  add_custom_command(
    OUTPUT "${S_OUTPUT}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${outdir}"
    COMMAND tamsel-codesign sign ${args} "${S_INPUT}" -o "${S_OUTPUT}"
    DEPENDS "${S_INPUT}" tamsel-codesign tamsel_test_pki "${TAMSEL_TEST_PKI_STAMP}" ${S_DEPENDS}
    COMMENT "Signing ${S_OUTPUT} as ${S_IDENTITY}"
    VERBATIM)
endfunction()

function(tamsel_sign_target target identity)
  cmake_parse_arguments(S "" "OUTPUT;IDENTIFIER" "" ${ARGN})
  if(NOT S_OUTPUT)
    set(S_OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/signed/${identity}/${target}")
  endif()
  if(NOT DEFINED S_IDENTIFIER)
    set(S_IDENTIFIER "${target}")
  endif()
  tamsel_sign_file(INPUT "$<TARGET_FILE:${target}>" OUTPUT "${S_OUTPUT}" IDENTITY "${identity}"
                   IDENTIFIER "${S_IDENTIFIER}" DEPENDS ${target})
  add_custom_target(${target}_signed_${identity} ALL DEPENDS "${S_OUTPUT}")
  set(TAMSEL_SIGNED_FILE "${S_OUTPUT}" PARENT_SCOPE)
  set(TAMSEL_SIGNED_TARGET ${target}_signed_${identity} PARENT_SCOPE)
endfunction()
