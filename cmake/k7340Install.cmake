# What `cmake --install` puts under the prefix (GNUInstallDirs):
#   Linux    include/k7340.h, lib/libk7340.so*, lib/cmake/k7340/, lib/pkgconfig/k7340.pc,
#            bin/k7340config, bin/k7340sim, share/doc/k7340/
#   Windows  the contents of a release zip: bin/ (the DLL and the two programs), include/,
#            lib/ (import libraries for MinGW and for Microsoft's linker), doc/, README.txt
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
    PATTERN README-Windows.txt EXCLUDE PATTERN development.md EXCLUDE)

foreach(program k7340config k7340sim 7340demo)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/k7340MsvcImportLibrary.cmake)
    install(FILES ${K7340_SOURCE_DOCS}/README-Windows.txt DESTINATION . RENAME README.txt)
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
install(FILES ${PROJECT_BINARY_DIR}/k7340Config.cmake ${PROJECT_BINARY_DIR}/k7340ConfigVersion.cmake
    DESTINATION ${K7340_CMAKE_DESTINATION})

# k7340.pc names its prefix relative to its own folder, so `cmake --install --prefix P` works
# for any P, not only the prefix given at configure time.
file(RELATIVE_PATH K7340_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" K7340_PC_TO_PREFIX "${K7340_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/k7340.pc.in ${PROJECT_BINARY_DIR}/k7340.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/k7340.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(PROJECT_IS_TOP_LEVEL)
    include(${CMAKE_CURRENT_LIST_DIR}/k7340Debian.cmake)
endif()
