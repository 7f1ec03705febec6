# Installation and packages.
#
# Included before the folders: it sets the install folders (GNUInstallDirs on Linux, one flat
# folder on Windows) and defines the helpers that the folders' install blocks call. After the
# folders, skelvo_configure_packages() installs the documents and licences and sets up CPack:
#   Linux:   two Debian packages, skelvo-cli (skelvo-cli and skelvo-devsim, no Qt) and skelvo
#            (the dialog), from the install components "cli" and "gui";
#   Windows: a zip and an NSIS installer of the flat folder.
# scripts/release.sh builds them all into dist/.
include_guard(GLOBAL)

set(SKELVO_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(SKELVO_PACKAGE_MAINTAINER "Skelvo authors <skelvo@example.org>" CACHE STRING
    "Maintainer of the Debian packages, as \"Name <address>\"")

if(WIN32)
  set(SKELVO_INSTALL_BINDIR .)
  set(SKELVO_INSTALL_DOCDIR .)
else()
  include(GNUInstallDirs)
  set(SKELVO_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  # Each Debian package keeps its documents in a folder named after it (_skelvo_debian_package).
  set(SKELVO_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc)
endif()

# Manual pages and bash completion are written from the programs' --help at build time, which
# runs the programs: off by default, so that sanitizer and fuzzing builds do not run them;
# scripts/release.sh turns it on. A cross build cannot run them.
option(SKELVO_MAN_PAGES "Write manual pages (help2man) and bash completion from --help (Linux)" OFF)
find_program(SKELVO_HELP2MAN help2man)
find_program(SKELVO_GZIP gzip)
if(SKELVO_MAN_PAGES AND (WIN32 OR CMAKE_CROSSCOMPILING))
  set(SKELVO_MAN_PAGES OFF)
endif()
if(SKELVO_MAN_PAGES AND NOT (SKELVO_HELP2MAN AND SKELVO_GZIP))
  message(FATAL_ERROR "SKELVO_MAN_PAGES needs help2man and gzip (bash scripts/install-deps.sh)")
endif()
find_package(Python3 COMPONENTS Interpreter)

# skelvo_man_page(<target> <page> <summary> [COMMAND <command>] [SEE_ALSO <page>...]
#                 COMPONENT <component>)
# Writes <page>.1.gz from "<target> [command] --help" with help2man and installs it. A command's
# page is named "<program>-<command>", which is where "man <program> <command>" looks; an empty
# summary takes the command's line in the program's own --help.
function(skelvo_man_page target page summary)
  cmake_parse_arguments(ARG "" "COMMAND;COMPONENT" "SEE_ALSO" ${ARGN})
  if(NOT SKELVO_MAN_PAGES)
    return()
  endif()
  set(out ${PROJECT_BINARY_DIR}/man/${page}.1)
  add_custom_command(
    OUTPUT ${out}.gz
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${SKELVO_HELP2MAN} -DGZIP=${SKELVO_GZIP}
            -DPROGRAM=$<TARGET_FILE:${target}> -DPAGE=${page} -DSUMMARY=${summary}
            -DSUBCOMMAND=${ARG_COMMAND} -DVERSION=${PROJECT_VERSION} "-DSEE_ALSO=${ARG_SEE_ALSO}"
            -DOUT=${out} -P ${SKELVO_PACKAGING_DIR}/linux/man-page.cmake
    DEPENDS ${target} ${SKELVO_PACKAGING_DIR}/linux/man-page.cmake
    COMMENT "Writing the manual page ${page}(1)"
    VERBATIM)
  add_custom_target(man-${page} ALL DEPENDS ${out}.gz)
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${ARG_COMPONENT})
endfunction()

# skelvo_static_man_page(<source>.1.in <page> COMPONENT <component>): a page written by hand,
# with the version and date filled in, compressed and installed.
function(skelvo_static_man_page source page)
  cmake_parse_arguments(ARG "" "COMPONENT" "" ${ARGN})
  if(NOT SKELVO_MAN_PAGES)
    return()
  endif()
  set(out ${PROJECT_BINARY_DIR}/man/${page}.1)
  string(TIMESTAMP SKELVO_MAN_DATE "%B %Y" UTC)
  configure_file(${source} ${out} @ONLY)
  add_custom_command(
    OUTPUT ${out}.gz
    COMMAND ${SKELVO_GZIP} -9nkf ${out}
    DEPENDS ${out}
    COMMENT "Compressing the manual page ${page}(1)"
    VERBATIM)
  add_custom_target(man-${page} ALL DEPENDS ${out}.gz)
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${ARG_COMPONENT})
endfunction()

# skelvo_bash_completion(<target> COMPONENT <component>)
# Writes the bash completion of a CLI11 program from its --help and that of each of its commands,
# and installs it where bash-completion loads it on demand.
function(skelvo_bash_completion target)
  cmake_parse_arguments(ARG "" "COMPONENT" "" ${ARGN})
  if(NOT SKELVO_MAN_PAGES)
    return()
  endif()
  set(out ${PROJECT_BINARY_DIR}/completion/${target})
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${Python3_EXECUTABLE} ${SKELVO_PACKAGING_DIR}/linux/completion.py $<TARGET_FILE:${target}>
            ${target} ${out}
    DEPENDS ${target} ${SKELVO_PACKAGING_DIR}/linux/completion.py
    COMMENT "Writing the bash completion of ${target}"
    VERBATIM)
  add_custom_target(completion-${target} ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          COMPONENT ${ARG_COMPONENT})
endfunction()

# skelvo_windows_version(<target> <description>): the version resource of a Windows executable,
# which Explorer's properties and the installer's list of programs show.
function(skelvo_windows_version target description)
  if(NOT WIN32)
    return()
  endif()
  set(SKELVO_RC_NAME ${target})
  set(SKELVO_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${SKELVO_PACKAGING_DIR}/windows/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# The licence texts of the libraries compiled into the programs, from the Debian packages that
# provided them. <out> is written with the notice of Skelvo's own code first.
function(_skelvo_licence_file out newline)
  file(READ ${SKELVO_PACKAGING_DIR}/copyright.txt text)
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs title source)
    if(EXISTS ${source})
      file(READ ${source} licence)
    else()
      # Only the packages need the texts, and only Debian keeps them there; the release checks
      # look for each one.
      message(WARNING "The licence of ${title} is not at ${source}; the packages will lack it")
      set(licence "(the licence text was not at ${source} on the machine that built this)\n")
    endif()
    string(APPEND text "\n\n==== ${title} ====\n\n${licence}")
  endwhile()
  if(newline STREQUAL CRLF)
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
  file(WRITE ${out} "${text}")
endfunction()

# _skelvo_debian_package(<component> <package> <program> <summary> <description> DOCS <file>...)
function(_skelvo_debian_package component package program summary description)
  cmake_parse_arguments(ARG "" "" "DOCS" ${ARGN})
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_DESCRIPTION "${summary}\n${description}" PARENT_SCOPE)
  set(doc ${SKELVO_INSTALL_DOCDIR}/${package})
  set(gen ${PROJECT_BINARY_DIR}/packaging/${package})
  file(MAKE_DIRECTORY ${gen})

  # The Debian changelog is written from CHANGELOG.md; a native package names it changelog.gz.
  add_custom_command(
    OUTPUT ${gen}/changelog.gz
    COMMAND ${Python3_EXECUTABLE} ${SKELVO_PACKAGING_DIR}/debian/changelog.py ${PROJECT_SOURCE_DIR}/CHANGELOG.md
            ${PROJECT_VERSION} ${package} ${SKELVO_PACKAGE_MAINTAINER} ${gen}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${SKELVO_PACKAGING_DIR}/debian/changelog.py
    COMMENT "Writing the Debian changelog of ${package}"
    VERBATIM)
  add_custom_target(changelog-${package} ALL DEPENDS ${gen}/changelog.gz)
  install(FILES ${gen}/changelog.gz ${gen}/copyright ${ARG_DOCS} DESTINATION ${doc} COMPONENT ${component})

  # The maintainer scripts give the package's program cap_net_bind_service for UDP port 69.
  set(SKELVO_CAP_PACKAGE ${package})
  set(SKELVO_CAP_PROGRAM /usr/${CMAKE_INSTALL_BINDIR}/${program})
  foreach(script postinst postrm)
    configure_file(${SKELVO_PACKAGING_DIR}/debian/${script}.in ${gen}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
  endforeach()
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA "${gen}/postinst;${gen}/postrm" PARENT_SCOPE)
endfunction()

# The target skelvo-collection: the Ansible collection's tarball, with the project's version,
# in <build>/packages.
function(_skelvo_collection_target)
  find_program(SKELVO_ANSIBLE_GALAXY ansible-galaxy)
  if(NOT SKELVO_ANSIBLE_GALAXY)
    return()
  endif()
  set(source ${PROJECT_SOURCE_DIR}/ansible/ansible_collections/skelvo/firmware)
  set(tarball ${PROJECT_BINARY_DIR}/packages/skelvo-firmware-${PROJECT_VERSION}.tar.gz)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS ${source}/*)
  list(FILTER files EXCLUDE REGEX "/__pycache__/|\\.tar\\.gz$")
  add_custom_command(
    OUTPUT ${tarball}
    COMMAND ${CMAKE_COMMAND} -DGALAXY=${SKELVO_ANSIBLE_GALAXY} -DSOURCE=${source}
            -DSTAGE=${PROJECT_BINARY_DIR}/collection/skelvo/firmware -DVERSION=${PROJECT_VERSION}
            -DOUT_DIR=${PROJECT_BINARY_DIR}/packages -P ${SKELVO_PACKAGING_DIR}/ansible/collection.cmake
    DEPENDS ${files} ${SKELVO_PACKAGING_DIR}/ansible/collection.cmake
    COMMENT "Building the Ansible collection skelvo.firmware ${PROJECT_VERSION}"
    VERBATIM)
  add_custom_target(skelvo-collection DEPENDS ${tarball})
endfunction()

function(skelvo_configure_packages)
  set(CPACK_PACKAGE_NAME skelvo)
  set(CPACK_PACKAGE_VENDOR "Skelvo authors")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(summary "Firmware upgrades of Tolva and Dravenholt device servers")
  set(CPACK_PACKAGE_CONTACT ${SKELVO_PACKAGE_MAINTAINER})
  set(CPACK_STRIP_FILES ON)
  set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
      GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

  if(WIN32)
    set(licences ${PROJECT_BINARY_DIR}/packaging/LICENCES.txt)
    _skelvo_licence_file(${licences} CRLF
      "CLI11 (in skelvo-cli.exe)" /usr/share/doc/libcli11-dev/copyright
      "JSON for Modern C++, nlohmann-json (in skelvo-cli.exe)" /usr/share/doc/nlohmann-json3-dev/copyright
      "MinGW-w64 run-time and winpthreads (in both programs)" /usr/share/doc/mingw-w64-common/copyright
      "GCC run-time libraries, libstdc++ and libgcc (in both programs)" /usr/share/doc/gcc-mingw-w64-base/copyright)
    configure_file(${SKELVO_PACKAGING_DIR}/windows/README.txt.in ${PROJECT_BINARY_DIR}/packaging/README.txt
                   @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt ${licences} DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION .)

    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${summary})
    set(CPACK_GENERATOR "ZIP;NSIS")
    # One folder with everything: the install components only split the Debian packages.
    set(CPACK_MONOLITHIC_INSTALL ON)
    set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
    # A 64-bit installer, like the programs it installs: it runs where the programs run (a
    # 64-bit-only Wine among them) and writes the 64-bit registry and program folder.
    set(CPACK_NSIS_DEFINES "  Target amd64-unicode")
    set(CPACK_SYSTEM_NAME windows-x64)
    set(CPACK_PACKAGE_INSTALL_DIRECTORY Skelvo)
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Skelvo)
    set(CPACK_RESOURCE_FILE_LICENSE ${licences})
    set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_PACKAGE_NAME Skelvo) # also the Start-menu folder
    set(CPACK_NSIS_DISPLAY_NAME "Skelvo ${PROJECT_VERSION}")
    set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
    set(CPACK_PACKAGE_EXECUTABLES skelvo "Skelvo")
    set(CPACK_NSIS_INSTALLED_ICON_NAME skelvo.exe)
    set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/ui/win32/res/icon101.ico)
    set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/ui/win32/res/icon101.ico)
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
  else()
    set(cli_licences
      "CLI11 (in skelvo-cli and skelvo-devsim)" /usr/share/doc/libcli11-dev/copyright
      "JSON for Modern C++, nlohmann-json (in skelvo-cli and skelvo-devsim)"
      /usr/share/doc/nlohmann-json3-dev/copyright)
    _skelvo_licence_file(${PROJECT_BINARY_DIR}/packaging/skelvo-cli/copyright LF ${cli_licences})
    _skelvo_licence_file(${PROJECT_BINARY_DIR}/packaging/skelvo/copyright LF)

    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
    # setcap in postinst; without it the postinst says how to give the capability by hand.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcap2-bin)
    set(CPACK_COMPONENTS_ALL cli)

    # Each package's own first line is its synopsis: CPack puts a common summary in front of it
    # unless that is left at CPack's default, as here. CPack indents the lines and marks the
    # empty one as Debian's control files want.
    string(CONCAT about
      "Skelvo identifies a device server's model and firmware over HTTP, sends it an\n"
      "authenticated upgrade command and serves the new image itself by TFTP on UDP\n"
      "port 69, once for the device to verify it and once, after the device has\n"
      "erased its flash, to program it.\n\n")
    string(CONCAT cli_about ${about}
      "This package holds the command line, skelvo-cli, which upgrades one device or\n"
      "batches of many, and skelvo-devsim, a simulated device for trials and tests.\n"
      "It needs no graphical toolkit, for servers and Ansible runners.")
    string(CONCAT gui_about ${about}
      "This package holds the upgrade dialog, skelvo, which walks through the five\n"
      "steps of one upgrade.")
    set(docs ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
    _skelvo_debian_package(cli skelvo-cli skelvo-cli "${summary} (command line)"
                           "${cli_about}" DOCS ${docs} ${PROJECT_SOURCE_DIR}/docs/cli.md
                           ${PROJECT_SOURCE_DIR}/docs/cli-json.md ${PROJECT_SOURCE_DIR}/docs/devsim.md
                           ${PROJECT_SOURCE_DIR}/docs/tftp-server.md ${PROJECT_SOURCE_DIR}/docs/fleet.md)
    # The dialog's package, when the Qt dialog is built (SKELVO_BUILD_GUI).
    if(TARGET skelvo)
      _skelvo_debian_package(gui skelvo skelvo "${summary} (dialog)" "${gui_about}"
                             DOCS ${docs} ${PROJECT_SOURCE_DIR}/docs/dialog.md)
      set(CPACK_DEBIAN_GUI_PACKAGE_SUGGESTS skelvo-cli)
      list(APPEND CPACK_COMPONENTS_ALL gui)
    endif()
    _skelvo_collection_target()
  endif()
  include(CPack)
endfunction()
