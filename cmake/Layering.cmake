# Layering the build enforces, at configure time:
#  - the widget-free libraries (every target whose name ends in _core, the
#    error log, the common paths and the DCMTK implementation) never reach
#    Qt Widgets through their link closure, so that a widget cannot creep
#    into the logic that tests drive without a display;
#  - DCMTK and OpenJPEG belong to the DCMTK implementation alone: no other
#    product target links them, and no product source outside dicom/dcmtk
#    includes their headers.

function(_brevant_targets_in dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    _brevant_targets_in(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Every library the target links, directly or through others.
function(_brevant_link_closure target out)
  set(seen "")
  set(queue ${target})
  while(queue)
    list(POP_FRONT queue item)
    # $<LINK_ONLY:x> and similar wrappers name a library too.
    string(REGEX REPLACE "^\\$<[A-Z_]+:(.*)>$" "\\1" item "${item}")
    if(item STREQUAL "" OR item IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${item})
    if(NOT TARGET ${item})
      continue()
    endif()
    get_target_property(aliased ${item} ALIASED_TARGET)
    if(aliased)
      list(APPEND queue ${aliased})
    endif()
    get_target_property(type ${item} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(libs ${item} LINK_LIBRARIES)
      if(libs)
        list(APPEND queue ${libs})
      endif()
    endif()
    get_target_property(ilibs ${item} INTERFACE_LINK_LIBRARIES)
    if(ilibs)
      list(APPEND queue ${ilibs})
    endif()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

# The product's folders; tests, tools and benchmarks may use DCMTK directly.
set(_BREVANT_PRODUCT_DIRS app common dicom/core dicom/widgets dicom/dcmtk log main search settings)
set(_BREVANT_DCMTK_DIR dicom/dcmtk)
set(_BREVANT_DCMTK_TARGET brevant_dicom_dcmtk)

function(_brevant_check_widget_free target)
  if(target MATCHES "_core$" OR target STREQUAL "brevant_log" OR target STREQUAL "brevant_common"
     OR target STREQUAL _BREVANT_DCMTK_TARGET)
    _brevant_link_closure(${target} closure)
    foreach(widgets Qt6::Widgets Qt::Widgets)
      if(widgets IN_LIST closure)
        message(FATAL_ERROR
          "${target} is widget-free by design but links ${widgets}; keep widgets out of it.")
      endif()
    endforeach()
  endif()
endfunction()

# Only the DCMTK implementation links DCMTK or OpenJPEG itself.
function(_brevant_check_toolkit_links target)
  if(target STREQUAL _BREVANT_DCMTK_TARGET)
    return()
  endif()
  get_target_property(dir ${target} SOURCE_DIR)
  file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${dir})
  if(NOT rel IN_LIST _BREVANT_PRODUCT_DIRS)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  set(libs "")
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(direct ${target} LINK_LIBRARIES)
    if(direct)
      list(APPEND libs ${direct})
    endif()
  endif()
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  if(interface)
    list(APPEND libs ${interface})
  endif()
  foreach(lib IN LISTS libs)
    if(lib MATCHES "^(\\$<[A-Z_]+:)?(DCMTK::|PkgConfig::OpenJPEG|openjp2|dcm|ofstd|oflog)")
      message(FATAL_ERROR
        "${target} links ${lib}; only ${_BREVANT_DCMTK_TARGET} may use DCMTK or OpenJPEG.")
    endif()
  endforeach()
endfunction()

# No product source outside dicom/dcmtk includes a DCMTK or OpenJPEG header.
function(_brevant_check_toolkit_includes)
  foreach(dir IN LISTS _BREVANT_PRODUCT_DIRS)
    if(dir STREQUAL _BREVANT_DCMTK_DIR)
      continue()
    endif()
    file(GLOB_RECURSE sources
      ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/*.h)
    foreach(source IN LISTS sources)
      file(STRINGS ${source} hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](dcmtk/|openjpeg|opj_)")
      if(hits)
        file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${source})
        list(GET hits 0 hit)
        message(FATAL_ERROR
          "${rel} includes a toolkit header (${hit}); only ${_BREVANT_DCMTK_DIR} may.")
      endif()
    endforeach()
  endforeach()
endfunction()

function(brevant_check_layering)
  _brevant_targets_in(${CMAKE_SOURCE_DIR} targets)
  foreach(target IN LISTS targets)
    _brevant_check_widget_free(${target})
    _brevant_check_toolkit_links(${target})
  endforeach()
  _brevant_check_toolkit_includes()
endfunction()
