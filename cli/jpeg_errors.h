// libjpeg's error manager as korvane-dct's JPEG reader and writer use it: a fatal error leaves
// through longjmp to the setjmp of the caller's decode or encode, with libjpeg's message kept.
#pragma once

// clang-format off
// jpeglib.h uses size_t and FILE without including their headers.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <csetjmp>

namespace korvane::cli {

struct JpegErrors {
    jpeg_error_mgr pub;  // first, so that a j_common_ptr's err points at the whole manager
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool extraneous_data;  // the reader: a warning that the data had stray bytes between segments
    bool bad_icc;          // the reader: a warning that an ICC marker was malformed
};

// error_exit: keeps the message and jumps back to JpegErrors::jump.
extern "C" inline void jpeg_error_jump(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegErrors*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

}  // namespace korvane::cli
