# Locates the Debian packages the project links. Every dependency becomes an
# imported target so that subdirectories only say what they use.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KIV_MULTIARCH i386-linux-gnu)
else()
  set(KIV_MULTIARCH x86_64-linux-gnu)
endif()

find_package(Threads REQUIRED)

# wxWidgets base (non-GUI). Debian's wx-config belongs to the native
# architecture, so the flags come from the per-architecture config script.
set(_wxconfig /usr/lib/${KIV_MULTIARCH}/wx/config/gtk3-unicode-3.2)
if(NOT EXISTS ${_wxconfig})
  message(FATAL_ERROR "wxWidgets 3.2 base not found for ${KIV_MULTIARCH}: run 'make deps'")
endif()
execute_process(COMMAND ${_wxconfig} --cxxflags base OUTPUT_VARIABLE _wx_cxxflags OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(_wx_cxxflags UNIX_COMMAND "${_wx_cxxflags}")
set(_wx_includes "")
set(_wx_defines "")
foreach(_f IN LISTS _wx_cxxflags)
  if(_f MATCHES "^-I(.*)")
    list(APPEND _wx_includes ${CMAKE_MATCH_1})
  elseif(_f MATCHES "^-D(.*)")
    list(APPEND _wx_defines ${CMAKE_MATCH_1})
  endif()
endforeach()
find_library(WXBASE_LIBRARY NAMES wx_baseu-3.2 PATHS /usr/lib/${KIV_MULTIARCH} NO_DEFAULT_PATH REQUIRED)
add_library(kiv::wxbase INTERFACE IMPORTED)
set_target_properties(kiv::wxbase PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_wx_includes}"
  INTERFACE_COMPILE_DEFINITIONS "${_wx_defines}"
  INTERFACE_LINK_LIBRARIES "${WXBASE_LIBRARY};Threads::Threads")

function(kiv_import_library target header_dir lib_name)
  find_library(_lib_${lib_name} NAMES ${lib_name} PATHS /usr/lib/${KIV_MULTIARCH} NO_DEFAULT_PATH REQUIRED)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${_lib_${lib_name}}")
  if(header_dir)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${header_dir}")
  endif()
endfunction()

kiv_import_library(kiv::daemon "" daemon)
kiv_import_library(kiv::tinyxml "" tinyxml)
kiv_import_library(kiv::tinyxml2 "" tinyxml2)
kiv_import_library(kiv::tcmalloc_minimal "" tcmalloc_minimal)

find_package(Boost 1.74 REQUIRED COMPONENTS filesystem system)
find_package(GTest REQUIRED)
include(GoogleTest)
