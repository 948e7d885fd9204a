# Build layers: a folder's headers are reachable only through the targets that it builds.
#
# Sources include each other as "<folder>/<Header>.h" from the repository root. Instead of the
# root for everyone, each folder gets an include directory of its own under
# ${CMAKE_BINARY_DIR}/layers/<folder> that holds one entry, <folder>, a link to the source
# folder; the folder's targets carry it as a PUBLIC (or INTERFACE) include directory, so a
# target sees exactly the folders of the targets it links (target_link_libraries propagates
# them). A header of a folder the target does not link is not found at compile time, and the
# test cavix_layers checks the includes against the link graph as well (CheckLayers.cmake).

set(CAVIX_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)
set(CAVIX_LAYER_FOLDERS platform log service image transport device driver sim tools sane tests)

# Makes <link> a symbolic link to <source> (again, when the tree has moved).
function(_cavix_link source link)
  if(IS_SYMLINK ${link})
    file(READ_SYMLINK ${link} current)
    if(current STREQUAL source)
      return()
    endif()
    file(REMOVE ${link})
  endif()
  get_filename_component(parent ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${source} ${link} SYMBOLIC)
endfunction()

# An include directory whose only entry <name> links to <source>.
function(_cavix_layer_dir out name source)
  _cavix_link(${source} ${CAVIX_LAYER_ROOT}/${out}/${name})
endfunction()

# Makes <target> expose the headers of <folder> (PUBLIC, or INTERFACE for an interface
# library) and records the folder for the layer check.
function(cavix_layer target folder)
  _cavix_layer_dir(${folder} ${folder} ${CMAKE_SOURCE_DIR}/${folder})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${CAVIX_LAYER_ROOT}/${folder})
  else()
    target_include_directories(${target} PUBLIC ${CAVIX_LAYER_ROOT}/${folder})
  endif()
  set_property(TARGET ${target} APPEND PROPERTY CAVIX_LAYERS ${folder})
endfunction()

# Makes the interface target <target> expose only the named <files> of <folder> (as
# "<folder>/<file>") in an include directory of its own, <name>.
function(cavix_layer_files target name folder)
  set(dir ${CAVIX_LAYER_ROOT}/${name}/${folder})
  file(MAKE_DIRECTORY ${dir})
  foreach(f ${ARGN})
    _cavix_link(${CMAKE_SOURCE_DIR}/${folder}/${f} ${dir}/${f})
    set_property(TARGET ${target} APPEND PROPERTY CAVIX_LAYERS ${folder}/${f})
  endforeach()
  target_include_directories(${target} INTERFACE ${CAVIX_LAYER_ROOT}/${name})
endfunction()

# Makes the interface target <target> expose the generated files in <build dir>/<folder>/<sub>
# as "<folder>/<sub>/...".
function(cavix_layer_generated target folder sub)
  _cavix_layer_dir(${folder}-${sub} ${folder} ${CAVIX_LAYER_ROOT}/${folder}-${sub}/.tree)
  _cavix_link(${CMAKE_BINARY_DIR}/${folder}/${sub} ${CAVIX_LAYER_ROOT}/${folder}-${sub}/.tree/${sub})
  target_include_directories(${target} INTERFACE ${CAVIX_LAYER_ROOT}/${folder}-${sub})
endfunction()

# Every target defined in <dir> and the folders below it.
function(_cavix_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    _cavix_targets_below(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Links every compiled target defined in <dir> and below it to <library> (PRIVATE).
function(cavix_link_below dir library)
  _cavix_targets_below(${dir} targets)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_link_libraries(${t} PRIVATE ${library})
    endif()
  endforeach()
endfunction()

# The layer folders a target reaches through what it links, itself included.
function(_cavix_reachable_layers target out)
  set(seen)
  set(layers)
  set(todo ${target})
  while(todo)
    list(POP_FRONT todo t)
    if(NOT TARGET ${t} OR t IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${t})
    get_target_property(own ${t} CAVIX_LAYERS)
    if(own)
      list(APPEND layers ${own})
    endif()
    get_target_property(type ${t} TYPE)
    set(links)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(direct ${t} LINK_LIBRARIES)
      if(direct)
        list(APPEND links ${direct})
      endif()
    endif()
    get_target_property(iface ${t} INTERFACE_LINK_LIBRARIES)
    if(iface)
      list(APPEND links ${iface})
    endif()
    foreach(l ${links})
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" l "${l}")
      if(TARGET ${l})
        get_target_property(alias ${l} ALIASED_TARGET)
        if(alias)
          set(l ${alias})
        endif()
        list(APPEND todo ${l})
      endif()
    endforeach()
  endwhile()
  list(REMOVE_DUPLICATES layers)
  set(${out} ${layers} PARENT_SCOPE)
endfunction()

# Writes, for every target of the tree, its sources and the folders it may include, and adds
# the test that checks them. Called once, after every folder has been added.
function(cavix_layer_check)
  _cavix_targets_below(${CMAKE_SOURCE_DIR} targets)
  set(lines)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "UTILITY" OR type STREQUAL "INTERFACE_LIBRARY")
      continue()
    endif()
    get_target_property(sources ${t} SOURCES)
    get_target_property(dir ${t} SOURCE_DIR)
    set(files)
    foreach(s ${sources})
      if(s MATCHES "^\\$<")
        continue()
      endif()
      get_filename_component(abs ${s} ABSOLUTE BASE_DIR ${dir})
      if(abs MATCHES "\\.(c|cc|cpp)$" AND abs MATCHES "^${CMAKE_SOURCE_DIR}/")
        list(APPEND files ${abs})
      endif()
    endforeach()
    if(NOT files)
      continue()
    endif()
    _cavix_reachable_layers(${t} layers)
    # The names the target defines, for includes under "#ifdef NAME".
    get_target_property(definitions ${t} COMPILE_DEFINITIONS)
    set(defined)
    foreach(d ${definitions})
      if(NOT d MATCHES "^\\$<" AND d MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
        list(APPEND defined ${CMAKE_MATCH_1})
      endif()
    endforeach()
    string(REPLACE ";" "," layers "${layers}")
    string(REPLACE ";" "," files "${files}")
    string(REPLACE ";" "," defined "${defined}")
    string(APPEND lines "${t}|${layers}|${files}|${defined}\n")
  endforeach()
  file(WRITE ${CAVIX_LAYER_ROOT}/targets.txt "${lines}")
  if(CAVIX_BUILD_TESTS)
    string(REPLACE ";" "," folders "${CAVIX_LAYER_FOLDERS}")
    add_test(NAME cavix_layers
             COMMAND ${CMAKE_COMMAND} -DTARGETS=${CAVIX_LAYER_ROOT}/targets.txt "-DFOLDERS=${folders}"
                     -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake)
    # The check itself, on a hand-written source: the two crossings, and nothing under a
    # condition the target does not define.
    file(WRITE ${CAVIX_LAYER_ROOT}/fixture.txt
         "fixture|sane,driver/CavixScanner.h|${CMAKE_SOURCE_DIR}/tests/support/layercheck/Crossing.cpp|\n")
    add_test(NAME cavix_layers_finds_crossings
             COMMAND ${CMAKE_COMMAND} -DTARGETS=${CAVIX_LAYER_ROOT}/fixture.txt "-DFOLDERS=${folders}"
                     -P ${CMAKE_SOURCE_DIR}/cmake/CheckLayers.cmake)
    set_tests_properties(cavix_layers_finds_crossings PROPERTIES PASS_REGULAR_EXPRESSION
      "Crossing.cpp includes a header of driver/.*Crossing.cpp includes a header of image/.* 2 include\\(s\\) across layers")
  endif()
endfunction()
