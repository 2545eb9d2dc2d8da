// Small RAII holders for the GLib values the modules receive, so no return path leaks.
#pragma once

#include <glib-object.h>

#include "common/raii.h"

namespace tbox {

// A GVariant reference released on scope exit.
using GVariantPtr = Owned<GVariant, g_variant_unref>;

// Collects a GError through its address: `GErrorOut err; call(..., err.out()); if (err) ...`.
class GErrorOut {
public:
    GError **out() { return &error_; }
    explicit operator bool() const { return error_ != nullptr; }
    const char *message() const { return error_ != nullptr ? error_->message : ""; }
    GError *get() const { return error_; }
    ~GErrorOut() {
        if (error_ != nullptr) g_error_free(error_);
    }
    GErrorOut() = default;
    GErrorOut(const GErrorOut &) = delete;
    GErrorOut &operator=(const GErrorOut &) = delete;

private:
    GError *error_ = nullptr;
};

// Receives a newly allocated gchar* through its address and frees it on scope exit.
class GCharOut {
public:
    gchar **out() { return &str_; }
    const gchar *get() const { return str_; }
    ~GCharOut() { g_free(str_); }
    GCharOut() = default;
    GCharOut(const GCharOut &) = delete;
    GCharOut &operator=(const GCharOut &) = delete;

private:
    gchar *str_ = nullptr;
};

}  // namespace tbox
