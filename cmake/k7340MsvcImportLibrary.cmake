# k7340.lib: an import library in the form Microsoft's linker reads, made from the export names
# in k7340.def by lld-link, the LLVM linker that speaks link.exe's command line. It takes the
# names as link.exe's `lib /def` does: a 32-bit decorated name (_K7340_OpenDevice@8) is the
# caller's symbol and the DLL's export name at once. (llvm-dlltool reads .def files the MinGW
# way and cannot give that pair.) The 64-bit DLL exports the plain names.
find_program(K7340_LLD_LINK NAMES lld-link lld-link-14)
if(NOT K7340_LLD_LINK)
    message(STATUS "lld-link not found (Debian package lld): no k7340.lib for Microsoft's linker")
    return()
endif()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/device_library/k7340.def)
file(STRINGS ${PROJECT_SOURCE_DIR}/device_library/k7340.def K7340_EXPORT_LINES REGEX "= K7340_")
set(K7340_MSVC_DEF "LIBRARY k7340.dll\nEXPORTS\n")
foreach(line IN LISTS K7340_EXPORT_LINES)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        string(REGEX REPLACE "^ *(_K7340_[A-Za-z]+@[0-9]+) .*" "\\1" name "${line}")
    else()
        string(REGEX REPLACE "^ *_(K7340_[A-Za-z]+)@.*" "\\1" name "${line}")
    endif()
    string(APPEND K7340_MSVC_DEF "    ${name}\n")
endforeach()
set(K7340_MSVC_DIR ${PROJECT_BINARY_DIR}/msvc)
file(WRITE ${K7340_MSVC_DIR}/k7340.def "${K7340_MSVC_DEF}")

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(K7340_MSVC_MACHINE x86)
else()
    set(K7340_MSVC_MACHINE x64)
endif()
set(K7340_MSVC_LIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/k7340.lib)
# With a .def and no objects, lld-link writes the import library only.
add_custom_command(OUTPUT ${K7340_MSVC_LIB}
    COMMAND ${K7340_LLD_LINK} /nologo /machine:${K7340_MSVC_MACHINE} /def:${K7340_MSVC_DIR}/k7340.def
        /out:${K7340_MSVC_DIR}/k7340.dll /implib:${K7340_MSVC_LIB}
    # lld-link leaves an unchanged import library untouched; the build must see it as new.
    COMMAND ${CMAKE_COMMAND} -E touch ${K7340_MSVC_LIB}
    DEPENDS ${K7340_MSVC_DIR}/k7340.def
    COMMENT "Import library for Microsoft's linker")
add_custom_target(k7340_msvc_import_library ALL DEPENDS ${K7340_MSVC_LIB})
install(FILES ${K7340_MSVC_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
