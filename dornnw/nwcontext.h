// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
#pragma once

// A directory context handle of one login attempt, freed on every path out of it.

#include "platform/netware/netware.h"

namespace dornnw {

class ContextHandle {
  public:
    ContextHandle() = default;
    ~ContextHandle() { Free(); }
    ContextHandle(const ContextHandle&) = delete;
    ContextHandle& operator=(const ContextHandle&) = delete;

    // Creates the handle; false when the client library gives none.
    bool Create() {
        Free();
        created_ = NWDSCreateContextHandle(&handle_) == 0;
        return created_;
    }
    NWDSContextHandle Get() const { return handle_; }
    // Frees the handle now (nothing when none is held).
    void Free() {
        if (created_) NWDSFreeContext(handle_);
        created_ = false;
    }

  private:
    NWDSContextHandle handle_ = 0;
    bool created_ = false;
};

}  // namespace dornnw
