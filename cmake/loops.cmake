# SPDX-License-Identifier: Apache-2.0
# Event-loop adapters: header-only INTERFACE targets zornet::asio, zornet::libevent,
# zornet::libuv and zornet::glib, each carrying its loop library, so only programs that use an
# adapter link that library; libzornet links none. Each option is on by default when its
# library is installed (tools/setup-deps.sh installs all four).
find_package(PkgConfig QUIET)
find_path(ZORNET_ASIO_INCLUDE_DIR asio.hpp)

set(ZORNET_LOOPS "")       # the adapters built, for the tests, benchmarks and the package file
set(ZORNET_LOOP_FIND "")  # what the installed package runs to find their libraries

# zornet_loop(name found dependencies...): the option ZORNET_LOOP_<NAME> and, when on, the target.
function(zornet_loop name found)
  string(TOUPPER ${name} upper)
  option(ZORNET_LOOP_${upper} "Build the ${name} event-loop adapter" ${found})
  if(NOT ZORNET_LOOP_${upper})
    return()
  endif()
  if(NOT found)
    message(FATAL_ERROR "ZORNET_LOOP_${upper} is on, but ${name} is not installed "
                        "(tools/setup-deps.sh installs it)")
  endif()
  add_library(zornet_${name} INTERFACE)
  add_library(zornet::${name} ALIAS zornet_${name})
  set_target_properties(zornet_${name} PROPERTIES EXPORT_NAME ${name})
  target_include_directories(zornet_${name} INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/public/include>
    $<INSTALL_INTERFACE:${ZORNET_INSTALL_INCLUDEDIR}>)
  # The program links zornet::zornet (or zornet_static) itself; the adapter adds only its loop.
  target_link_libraries(zornet_${name} INTERFACE ${ARGN})
  set(ZORNET_LOOPS ${ZORNET_LOOPS} ${name} PARENT_SCOPE)
endfunction()

set(asio_found OFF)
if(ZORNET_ASIO_INCLUDE_DIR)
  set(asio_found ON)
endif()
zornet_loop(asio ${asio_found} Threads::Threads)
if(TARGET zornet_asio)
  target_include_directories(zornet_asio SYSTEM INTERFACE ${ZORNET_ASIO_INCLUDE_DIR})
  # asio's headers fence atomics, which ThreadSanitizer does not model; GCC warns wherever they
  # are inlined into this project's programs.
  if(ZORNET_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(zornet_asio INTERFACE $<BUILD_INTERFACE:-Wno-tsan>)
  endif()
endif()

# The others come with a pkg-config module, found here and again by the installed package.
foreach(loop "libevent;ZornetLibevent;libevent_core" "libuv;ZornetLibuv;libuv"
             "glib;ZornetGlib;glib-2.0")
  list(GET loop 0 name)
  list(GET loop 1 prefix)
  list(GET loop 2 module)
  set(find "pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})")
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  endif()
  zornet_loop(${name} "${${prefix}_FOUND}" PkgConfig::${prefix})
  if(TARGET zornet_${name})
    string(APPEND ZORNET_LOOP_FIND "find_dependency(PkgConfig)\n${find}\n")
  endif()
endforeach()

# Links every adapter built into target, with ZORNET_LOOP_<NAME> defined for each.
function(zornet_link_loops target)
  foreach(name ${ZORNET_LOOPS})
    string(TOUPPER ${name} upper)
    target_link_libraries(${target} PRIVATE zornet::${name})
    target_compile_definitions(${target} PRIVATE ZORNET_LOOP_${upper}=1)
  endforeach()
endfunction()
