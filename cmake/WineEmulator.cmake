# Runs the Windows programs of a cross build under Wine, in a prefix of this build's own,
# so that CTest, test discovery and the end-to-end check need no set-up by hand.
find_program(HALVEX_WINE wine)
find_program(HALVEX_WINEBOOT wineboot)
find_program(HALVEX_WINESERVER wineserver)
if(NOT HALVEX_WINE OR NOT HALVEX_WINEBOOT OR NOT HALVEX_WINESERVER)
  message(STATUS "Wine not found: the Windows programs build but their tests cannot run here")
  return()
endif()
set(HALVEX_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run --test)
