# What `cmake --install` puts under the prefix (GNUInstallDirs):
#   Linux    include/k7340.h, lib/libk7340.so*, lib/cmake/k7340/, lib/pkgconfig/k7340.pc,
#            bin/k7340config, bin/k7340sim, share/man/man1/ (their man pages),
#            share/doc/k7340/ (with LICENSE and CHANGELOG.md)
#   Windows  the contents of a release zip: bin/ (the DLL and the two programs), include/,
#            lib/ (import libraries for MinGW and for Microsoft's linker), doc/, README.txt,
#            LICENSE, CHANGELOG.md
# Test, benchmark and fuzz programs have no install rules.
include(CMakePackageConfigHelpers)

set(K7340_SOURCE_DOCS ${PROJECT_SOURCE_DIR}/docs)
if(WIN32)
    set(K7340_DOC_DESTINATION doc)
else()
    set(K7340_DOC_DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/device_library/k7340.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${K7340_DOC_DESTINATION})
install(DIRECTORY ${K7340_SOURCE_DOCS}/ DESTINATION ${K7340_DOC_DESTINATION}
    PATTERN README-Windows.txt EXCLUDE PATTERN development.md EXCLUDE PATTERN man EXCLUDE)
set(K7340_RELEASE_FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md)

foreach(program k7340config k7340sim 7340demo)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        # The Python package's tools (k7340, k7340-tango) have theirs in python3-k7340.
        if(NOT WIN32 AND EXISTS ${K7340_SOURCE_DOCS}/man/${program}.1)
            install(FILES ${K7340_SOURCE_DOCS}/man/${program}.1
                DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
        endif()
    endif()
endforeach()

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/k7340MsvcImportLibrary.cmake)
    install(FILES ${K7340_SOURCE_DOCS}/README-Windows.txt DESTINATION . RENAME README.txt)
    install(FILES ${K7340_RELEASE_FILES} DESTINATION .)
    if(TARGET k7340_dll)
        # 32-bit: the DLL and the dlltool import library with the decorated names; the
        # linker's own import library (.linker.dll.a) lacks them and is not shipped.
        install(FILES $<TARGET_FILE:k7340_dll> DESTINATION ${CMAKE_INSTALL_BINDIR})
        install(FILES ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/libk7340.dll.a
            ${PROJECT_SOURCE_DIR}/device_library/k7340.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
    else()
        install(TARGETS k7340 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
    endif()
    return()
endif()
install(FILES ${K7340_RELEASE_FILES} DESTINATION ${K7340_DOC_DESTINATION})

# The programs find the library relative to themselves, wherever the prefix is moved.
file(RELATIVE_PATH K7340_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
if(TARGET k7340config)
    set_target_properties(k7340config PROPERTIES INSTALL_RPATH "$ORIGIN/${K7340_BIN_TO_LIB}")
endif()

set(K7340_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/k7340)
install(TARGETS k7340 EXPORT k7340Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT k7340Targets NAMESPACE k7340:: DESTINATION ${K7340_CMAKE_DESTINATION})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/k7340Config.cmake.in
    ${PROJECT_BINARY_DIR}/k7340Config.cmake INSTALL_DESTINATION ${K7340_CMAKE_DESTINATION})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/k7340ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
# CMake's version file has no field for a licence: it says it in a line of its own, as the
# config file does (k7340_LICENSE).
file(APPEND ${PROJECT_BINARY_DIR}/k7340ConfigVersion.cmake
    "\n# k7340 ${PROJECT_VERSION}: SPDX-License-Identifier: MIT (Copyright 2026 The k7340 developers)\n")
install(FILES ${PROJECT_BINARY_DIR}/k7340Config.cmake ${PROJECT_BINARY_DIR}/k7340ConfigVersion.cmake
    DESTINATION ${K7340_CMAKE_DESTINATION})

# k7340.pc names its prefix relative to its own folder, so `cmake --install --prefix P` works
# for any P, not only the prefix given at configure time.
file(RELATIVE_PATH K7340_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" K7340_PC_TO_PREFIX "${K7340_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/k7340.pc.in ${PROJECT_BINARY_DIR}/k7340.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/k7340.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
