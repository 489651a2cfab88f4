# The library is built from small static modules, each a layer over the ones below it, so that a
# module and its tests build without the layers above. The plug-in links them all.
set(CM_LIB ${CMAKE_SOURCE_DIR}/lib)
set(CM_PROV ${CM_LIB}/CM_Provider)
set(CM_OSLC ${CM_PROV}/CM_Oslc)

file(WRITE ${CMAKE_BINARY_DIR}/cm_empty.cc "// placeholder for a module without sources\n")

# cm_module(NAME PATTERNS <globs...> DEPS <targets...>)
function(cm_module name)
  cmake_parse_arguments(M "" "" "PATTERNS;DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${M_PATTERNS})
  list(FILTER srcs EXCLUDE REGEX "_test\\.cc$")
  if(NOT srcs)  # a module not written yet still configures
    set(srcs ${CMAKE_BINARY_DIR}/cm_empty.cc)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CM_LIB} ${CMAKE_SOURCE_DIR}/include)
  target_compile_definitions(${name} PUBLIC CM_BUILDING_LIBRARY)
  target_link_libraries(${name} PUBLIC ${M_DEPS})
endfunction()

# Patterns are shared with tests/CMakeLists.txt to pick each test's module.
set(CM_PATTERNS_platform ${CM_LIB}/platform/*/*.cc)
set(CM_PATTERNS_core
    ${CM_PROV}/cm_trace*.cc ${CM_PROV}/cm_message*.cc ${CM_PROV}/cm_option*.cc
    ${CM_PROV}/cm_version*.cc ${CM_PROV}/cm_mr_cmi*.cc ${CM_PROV}/cm_action*.cc
    ${CM_PROV}/cm_commit_cache*.cc)
set(CM_PATTERNS_session
    ${CM_PROV}/cm_cookie_jar*.cc ${CM_PROV}/cm_mr_credential*.cc ${CM_PROV}/cm_session*.cc)
set(CM_PATTERNS_xml ${CM_OSLC}/cm_xml*.cc)
set(CM_PATTERNS_rest ${CM_OSLC}/cm_rest*.cc)
set(CM_PATTERNS_oslc ${CM_OSLC}/cm_oslc*.cc)
set(CM_PATTERNS_plugin
    ${CM_PROV}/cm_plugin*.cc ${CM_PROV}/cm_mr_provider*.cc)

cm_module(cm_platform PATTERNS ${CM_PATTERNS_platform}
          DEPS XercesC::XercesC OpenSSL::Crypto nlohmann_json::nlohmann_json)
target_compile_definitions(cm_platform PRIVATE CM_BUILD_STAMP="${CM_BUILD_STAMP}")
cm_module(cm_core PATTERNS ${CM_PATTERNS_core} DEPS cm_platform)
target_compile_definitions(cm_core PRIVATE
    CM_VERSION_STRING="${PROJECT_VERSION}" CM_BUILD_STAMP="${CM_BUILD_STAMP}")
cm_module(cm_session PATTERNS ${CM_PATTERNS_session} DEPS cm_core)
cm_module(cm_xml PATTERNS ${CM_PATTERNS_xml} DEPS cm_core ICU::uc XercesC::XercesC)
cm_module(cm_rest PATTERNS ${CM_PATTERNS_rest} DEPS cm_core CURL::libcurl)
cm_module(cm_oslc PATTERNS ${CM_PATTERNS_oslc} DEPS cm_rest cm_session cm_xml)

# The plug-in itself: everything above, with only the declared interface exported.
file(GLOB plugin_srcs CONFIGURE_DEPENDS ${CM_PATTERNS_plugin})
if(NOT plugin_srcs)
  set(plugin_srcs ${CMAKE_BINARY_DIR}/cm_empty.cc)
endif()
add_library(cmmrv1_0 SHARED ${plugin_srcs})
# Inside the tree its users also reach the private headers under lib/; installed, only the public
# headers in their own folder.
target_include_directories(cmmrv1_0 PUBLIC
    $<BUILD_INTERFACE:${CM_LIB}> $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/cmmrv1_0>)
target_compile_definitions(cmmrv1_0 PRIVATE CM_BUILDING_LIBRARY)
target_link_libraries(cmmrv1_0 PRIVATE
    -Wl,--whole-archive cm_oslc cm_rest cm_xml cm_session cm_core cm_platform -Wl,--no-whole-archive
    CURL::libcurl XercesC::XercesC ICU::uc OpenSSL::Crypto ${CMAKE_DL_LIBS})
# Hidden visibility and the version script keep everything but the declared interface out of the
# export table (standard-library template instantiations would otherwise leak as weak symbols).
target_link_options(cmmrv1_0 PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/cmmrv1_0.map)
# Sanitizer runtimes come with the executable that loads the plug-in, so only plain builds can
# insist that every symbol is resolved at link time.
if(NOT CMAKE_BUILD_TYPE STREQUAL "Asan")
  target_link_options(cmmrv1_0 PRIVATE -Wl,--no-undefined)
endif()
set_target_properties(cmmrv1_0 PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/cmmrv1_0.map)
# The SONAME follows the major version; hosts dlopen the unversioned name.
set_target_properties(cmmrv1_0 PROPERTIES OUTPUT_NAME cmmrv1_0 VERSION ${PROJECT_VERSION}
                      SOVERSION ${PROJECT_VERSION_MAJOR})
