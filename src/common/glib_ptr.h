// Small RAII holders for the GLib values the modules receive, so no return path leaks.
#pragma once

#include <glib-object.h>

#include <memory>

namespace tbox {

struct GErrorFree {
    void operator()(GError *e) const { g_error_free(e); }
};
struct GFree {
    void operator()(void *p) const { g_free(p); }
};
struct GVariantUnref {
    void operator()(GVariant *v) const { g_variant_unref(v); }
};
struct GObjectUnref {
    void operator()(gpointer o) const { g_object_unref(o); }
};

using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GCharPtr = std::unique_ptr<gchar, GFree>;
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

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
