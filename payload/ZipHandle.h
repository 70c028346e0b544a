#pragma once
#include <memory>
#include "unzip.h"

struct UnzCloser {
    void operator()(unzFile f) const noexcept { unzClose(f); }
};
using unique_unzfile = std::unique_ptr<void, UnzCloser>;
