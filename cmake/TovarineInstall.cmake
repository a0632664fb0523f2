# The installed layout: the program in bin/, its resources under share/tovarine/ (found relative
# to the executable), the menu entry, the icon at every size a desktop asks for, and the
# software centre's metadata. Included from src/ once the tovarine target exists.

include(GNUInstallDirs)

set(TOVARINE_APP_ID org.tovarine.Tovarine)
set(TOVARINE_HOMEPAGE_URL "https://tovarine.org" CACHE STRING
  "Home page named in the software centre's metadata (its screenshots live below it)")
# The date of the release the project version names, for the software centre's metadata.
set(TOVARINE_RELEASE_DATE "2026-12-10" CACHE STRING "Release date of this version (YYYY-MM-DD)")

# Bitmap icons for desktops and docks that do not draw SVG, rendered from the logo.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(icon_source ${TOVARINE_ROOT}/resources/images/Logo.svg)
set(icon_dir ${CMAKE_CURRENT_BINARY_DIR}/icons)
set(icon_outputs)
foreach(size 16 22 24 32 48 64 128 256 512)
  set(png ${icon_dir}/${size}x${size}/${TOVARINE_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_dir}/${size}x${size}
    COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --keep-aspect-ratio
      --output ${png} ${icon_source}
    DEPENDS ${icon_source} VERBATIM)
  list(APPEND icon_outputs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(tovarine_icons DEPENDS ${icon_outputs})
add_dependencies(tovarine tovarine_icons)

configure_file(${TOVARINE_ROOT}/resources/desktop/${TOVARINE_APP_ID}.metainfo.xml.in
  ${CMAKE_CURRENT_BINARY_DIR}/${TOVARINE_APP_ID}.metainfo.xml @ONLY)

install(TARGETS tovarine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${TOVARINE_APP_RESOURCES}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tovarine)
install(FILES ${TOVARINE_ROOT}/resources/desktop/${TOVARINE_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${icon_source} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME ${TOVARINE_APP_ID}.svg)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${TOVARINE_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
