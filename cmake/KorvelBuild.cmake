# Compiler settings shared by every target of the tree, and korvel_program() for programs.

if(KORVEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(KORVEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KORVEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KORVEL_SANITIZE must be address or thread, not '${KORVEL_SANITIZE}'")
endif()

# Our own code builds without warnings; CI makes them errors.
set(KORVEL_WARNINGS -Wall -Wextra)
if(KORVEL_WERROR)
  list(APPEND KORVEL_WARNINGS -Werror)
endif()

# Headers are installed flat into one folder of their own, so that our ntcan.h never stands
# in for another driver's in the system's include folder.
set(KORVEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/korvel)

# Installed programs find the installed libraries next to them, wherever the prefix is.
set(KORVEL_PROGRAM_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")

# korvel_shared_library(TARGET OUTPUT_NAME): a shared library with the project's SONAME.
function(korvel_shared_library target output_name)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${output_name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  target_compile_options(${target} PRIVATE ${KORVEL_WARNINGS})
endfunction()

# korvel_program(TARGET): a shipped program; it reports the project version for --version.
function(korvel_program target)
  target_compile_options(${target} PRIVATE ${KORVEL_WARNINGS})
  target_compile_definitions(${target} PRIVATE KORVEL_VERSION="${PROJECT_VERSION}")
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${KORVEL_PROGRAM_RPATH}")
endfunction()
