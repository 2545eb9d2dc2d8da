// What the resumable download (upgrade_resume.cpp) shares with upgrade_download.cpp, and its seams for
// the tests and the fuzz target: the common libcurl set-up and the partial file's description.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "tbox/upgrade.h"

namespace tbox::upgrade {

// libcurl's process-wide initialisation, done once; its result.
CURLcode curl_ready();

// The options every download shares: time-outs, stall limit, http/https only, no redirects, TLS
// verification against the CA bundle of SetDownloadCaFile (or the system's), receive buffer.
void apply_common_options(CURL *curl);

// The progress callback registered with RegisterDownloadProgressCb (nullptr: none).
DownloadProgressCb progress_callback();

// "<path>.part.meta": which URL the partial file belongs to, the server's validator for If-Range, and
// how many bytes of the partial file were on disk when it was written (docs/formats/part_sidecar.md).
struct PartSidecar {
    std::string url;
    std::string validator;
    uint64_t count = 0;
    bool operator==(const PartSidecar &o) const { return url == o.url && validator == o.validator && count == o.count; }
};

// The largest sidecar read; anything longer is not ours.
inline constexpr size_t kSidecarMaxBytes = 16384;

std::string format_sidecar(const PartSidecar &sidecar);
// nullopt for anything but a whole, well-formed sidecar whose check value matches.
std::optional<PartSidecar> parse_sidecar(const char *data, size_t size);

// The back-off of DownloadUpgradePkg (base * 2^(retry-1), capped, jittered down to half) and how often the
// partial file is flushed and described. Tests shorten them.
struct ResumeWaits {
    uint32_t backoffBaseMs = 1000;
    uint32_t backoffCapMs = 30000;
    int64_t flushEveryBytes = int64_t{2} << 20;
};
void set_resume_waits_for_tests(const ResumeWaits &waits);

}  // namespace tbox::upgrade
