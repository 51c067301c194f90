# What a host program's CMake project uses once it has added this project
# (add_subdirectory of a clone; see the README, "Using the components in a program").
#
# Ostrevan::Components
#   Everything a program needs to run conversion tasks and to use the components: the
#   objects of the platform, run-time, engine and component layers, their GUI pieces
#   for Qt 6 hosts (the preview window, the player's binding to a widget) with Qt 6
#   Widgets, ALSA, the thread and dl libraries, the include directories (the clone's
#   root: "engine/FFmpeg.h", "components/FFPlay.h" ...), the FFmpeg and SDL2 headers
#   and C++20. Nothing of FFmpeg, SDL2 or SoundTouch is linked: the program loads them
#   at run time.
#
# ostrevan_deploy_libav(<target>)
#   Puts the FFmpeg shared libraries (those of FFMPEG_PREFIX) into a folder LibAV beside
#   the file of <target>, an executable, each time <target> is linked. The programs load
#   them from there (FFLoad::FFLoader->SetLibraryPath, or a component's LoadLibraries,
#   with MyUtils::ExePath() + "LibAV"); when a library is missing the loader's error text
#   names the file it looked for: "Load library <folder>/LibAV/<file> error(#N): ...".

# The libraries are gathered once into the build's own LibAV folder, from which the
# tests and benchmarks load them and which ostrevan_deploy_libav copies.
set(LIBAV_DIR "${PROJECT_BINARY_DIR}/LibAV")
set_property(GLOBAL PROPERTY OSTREVAN_LIBAV_DIR "${LIBAV_DIR}")
file(GLOB _ffmpeg_sos "${FFMPEG_PREFIX}/lib/lib*.so.[0-9]" "${FFMPEG_PREFIX}/lib/lib*.so.[0-9][0-9]")
add_custom_target(ostrevan_libav ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory "${LIBAV_DIR}"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_ffmpeg_sos} "${LIBAV_DIR}"
  COMMENT "Copying the FFmpeg libraries into LibAV")

function(ostrevan_deploy_libav target)
  get_property(_libav GLOBAL PROPERTY OSTREVAN_LIBAV_DIR)
  add_dependencies(${target} ostrevan_libav)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_directory "${_libav}" "$<TARGET_FILE_DIR:${target}>/LibAV"
    VERBATIM)
endfunction()

# The objects come first on the link line, the static GUI libraries after them. The
# platform's objects come with ostrevan_runtime, which ostrevan_components names.
add_library(ostrevan_host INTERFACE)
target_link_libraries(ostrevan_host INTERFACE
  $<TARGET_OBJECTS:ostrevan_runtime> $<TARGET_OBJECTS:ostrevan_engine>
  $<TARGET_OBJECTS:ostrevan_components>
  ostrevan_components ostrevan_engine_gui ostrevan_components_gui)
target_compile_features(ostrevan_host INTERFACE cxx_std_20)
add_library(Ostrevan::Components ALIAS ostrevan_host)
