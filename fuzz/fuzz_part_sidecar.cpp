// The partial download's description ("<path>.part.meta") on arbitrary bytes, in an exactly sized buffer
// (so a read past its end is caught): what parses formats back to the same bytes, and what is formatted
// parses back to the same description.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "upgrade/upgrade_resume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<char> bytes(data, data + size);
    const auto sidecar = tbox::upgrade::parse_sidecar(bytes.data(), bytes.size());
    if (!sidecar) return 0;
    const std::string again = tbox::upgrade::format_sidecar(*sidecar);
    if (again != std::string(bytes.begin(), bytes.end())) std::abort();
    const auto reread = tbox::upgrade::parse_sidecar(again.data(), again.size());
    if (!reread || !(*reread == *sidecar)) std::abort();
    return 0;
}
