# Turns a file into a C++ source that returns its bytes, so the program carries the file
# inside itself. Run as a build step:
#   cmake -DINPUT=picture.jpg -DOUTPUT=picture.cpp -DHEADER=core/x.h -DFUNCTION=kestrel::picture -P EmbedFile.cmake
# FUNCTION is declared in HEADER as std::span<const std::uint8_t> FUNCTION().
foreach(var INPUT OUTPUT HEADER FUNCTION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "EmbedFile.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
if(digits EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line keeps the generated file readable in a debugger.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(name "${INPUT}" NAME)

file(WRITE "${OUTPUT}"
"// Generated from ${name} at build time; edit the original file, not this one.
#include \"${HEADER}\"

namespace {
const std::uint8_t embeddedBytes[] = {
    ${bytes}
};
} // namespace

std::span<const std::uint8_t> ${FUNCTION}()
{
    return {embeddedBytes, sizeof embeddedBytes};
}
")
