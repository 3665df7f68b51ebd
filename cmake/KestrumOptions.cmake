# Compiler settings shared by every target of the project.
# kestrum_target_defaults(<target>) applies warnings, sanitizers and symbol
# visibility; nothing here touches global flags.

if(KESTRUM_TSAN AND (KESTRUM_ASAN OR KESTRUM_UBSAN))
  message(FATAL_ERROR "ThreadSanitizer cannot be combined with ASan/UBSan")
endif()

set(KESTRUM_SANITIZE_FLAGS "")
if(KESTRUM_ASAN)
  list(APPEND KESTRUM_SANITIZE_FLAGS -fsanitize=address)
endif()
if(KESTRUM_UBSAN)
  list(APPEND KESTRUM_SANITIZE_FLAGS -fsanitize=undefined -fno-sanitize-recover=all)
endif()
if(KESTRUM_TSAN)
  list(APPEND KESTRUM_SANITIZE_FLAGS -fsanitize=thread)
endif()
if(KESTRUM_SANITIZE_FLAGS)
  list(APPEND KESTRUM_SANITIZE_FLAGS -fno-omit-frame-pointer)
endif()

function(kestrum_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow ${KESTRUM_SANITIZE_FLAGS})
  if(KESTRUM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  target_link_options(${target} PRIVATE ${KESTRUM_SANITIZE_FLAGS})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# Third-party code (tests, benchmarks) gets the sanitizers but not our warnings.
function(kestrum_sanitize target)
  target_compile_options(${target} PRIVATE ${KESTRUM_SANITIZE_FLAGS})
  target_link_options(${target} PRIVATE ${KESTRUM_SANITIZE_FLAGS})
endfunction()
