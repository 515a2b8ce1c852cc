# Writes a C++ source that holds files as byte arrays, so a program carries them inside.
#   cmake -DOUTPUT=file.cpp -DFILES="/=page.html;/app.js=app.js" -P EmbedFiles.cmake
# Each entry is PATH=FILE; the content type follows from the file's ending.
set(arrays "")
set(entries "")
set(index 0)
foreach(entry IN LISTS FILES)
    string(FIND "${entry}" "=" split)
    string(SUBSTRING "${entry}" 0 ${split} path)
    math(EXPR start "${split} + 1")
    string(SUBSTRING "${entry}" ${start} -1 file)
    get_filename_component(ending "${file}" LAST_EXT)
    if(ending STREQUAL ".html")
        set(type "text/html; charset=utf-8")
    elseif(ending STREQUAL ".css")
        set(type "text/css; charset=utf-8")
    elseif(ending STREQUAL ".js")
        set(type "text/javascript; charset=utf-8")
    else()
        message(FATAL_ERROR "no content type known for ${file}")
    endif()
    file(READ "${file}" bytes HEX)
    string(LENGTH "${bytes}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
           "\\1\n" bytes "${bytes}")
    string(APPEND arrays "const unsigned char kFile${index}[] = {\n${bytes}};\n\n")
    string(APPEND entries
           "        {\"${path}\", \"${type}\", {reinterpret_cast<const char*>(kFile${index}), ${size}}},\n")
    math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Generated from the files named by the build; edit those instead.
#include \"krvctl/web/ConsolePage.h\"

namespace krvctl {

namespace {

${arrays}}  // namespace

std::span<const PageFile> consolePageFiles() {
    static const PageFile files[] = {
${entries}    };
    return files;
}

}  // namespace krvctl
")
# Rewritten only when different, so an unchanged page does not rebuild the program.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
