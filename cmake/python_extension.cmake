# vok_add_extension(TARGET MAP <version script> DESTINATION <install folder>
#                   RPATH <run path to the tbb wheel's lib> SOURCES ... INCLUDES ...)
# One CPython extension over the static engine: hidden symbols, the init
# function as its only export (the version script), the run path to PyPI's
# libtbb when built against tbb-devel, installed into DESTINATION.
function(vok_add_extension target)
  cmake_parse_arguments(ARG "" "MAP;DESTINATION;RPATH" "SOURCES;INCLUDES" ${ARGN})
  Python_add_library(${target} MODULE WITH_SOABI ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE vok_bind vok_engine)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${ARG_INCLUDES})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${ARG_MAP})
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${ARG_MAP}"
    "LINKER:--no-undefined-version")
  # Built against the TBB of the tbb-devel wheel, the module loads
  # libtbb.so.12 from the run-time wheel `tbb`, which pip puts in <prefix>/lib
  # while site-packages is <prefix>/lib*/pythonX.Y/site-packages. `make wheel`
  # bundles the library instead (auditwheel) and replaces this path.
  if(VOK_TBB_FROM_WHEEL)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${ARG_RPATH}")
  endif()
  install(TARGETS ${target} DESTINATION ${ARG_DESTINATION})
endfunction()
