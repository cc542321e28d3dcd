# Script mode: writes OUTPUT, a C++ source holding DF_IMAGE and PAR_IMAGE as arrays of 16-bit
# words (the files are little-endian words) and BuiltInDriverImage() over them.
function(words_of file out_var)
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR remainder "${hex_length} % 4")
  if(NOT remainder EQUAL 0)
    message(FATAL_ERROR "${file}: odd number of bytes")
  endif()
  # Byte pairs "lo hi" become "0xhilo, ".
  string(REGEX REPLACE "(..)(..)" "0x\\2\\1," words "${hex}")
  set(group "0x....,0x....,0x....,0x....,0x....,0x....,0x....,0x....,")
  string(REGEX REPLACE "(${group}${group})" "\\1\n    " words "${words}")
  set(${out_var} "${words}" PARENT_SCOPE)
endfunction()

words_of(${DF_IMAGE} df_words)
words_of(${PAR_IMAGE} par_words)

file(WRITE ${OUTPUT}.tmp "// Generated from flash/images/*.bin at build time; do not edit.
#include \"flash/DriverImage.h\"

namespace tessaro {
namespace {
const uint16_t kDataFlashImage[] = {
    ${df_words}
};
const uint16_t kParallelImage[] = {
    ${par_words}
};
}  // namespace

std::span<const uint16_t> BuiltInDriverImage(int resourceId) {
  switch (resourceId) {
    case kDriverImageDataFlash: return kDataFlashImage;
    case kDriverImageParallel: return kParallelImage;
    default: return {};
  }
}

}  // namespace tessaro
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
