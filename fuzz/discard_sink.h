// One output file for every input of a harness: what the converters write is thrown away, and
// opening a file per input would cost more than the conversion being fuzzed.
#pragma once

#include "stream/output_file.h"

namespace tessaline {

inline OutputFile& Discard() {
    static OutputFile* sink = [] {
        auto* f = new OutputFile;
        f->Create("/dev/null");
        return f;
    }();
    return *sink;
}

}  // namespace tessaline
