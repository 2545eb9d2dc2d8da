// A real HTTP or HTTPS server on 127.0.0.1 for download tests (tests/support/http_peer.py under python3),
// serving the files of a directory and a few misbehaving paths; stopped at the end of the scope.
#pragma once

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "support/test_bus.h"

namespace tbox::test {

class HttpPeer {
public:
    // Serves `root`; with a certificate chain and key, over TLS.
    explicit HttpPeer(const std::string &root, const std::string &cert = "", const std::string &key = "") {
        const std::string script = std::string(TBOX_TEST_DATA) + "/../support/http_peer.py";
        std::vector<const char *> argv = {"python3", script.c_str(), root.c_str()};
        if (!cert.empty()) argv.insert(argv.end(), {cert.c_str(), key.c_str()});
        argv.push_back(nullptr);
        const std::string port = start_helper(argv, pid_, "the HTTP peer printed no port");
        base_ = std::string(cert.empty() ? "http" : "https") + "://127.0.0.1:" + port;
    }
    ~HttpPeer() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    HttpPeer(const HttpPeer &) = delete;
    HttpPeer &operator=(const HttpPeer &) = delete;

    // The URL of `path` ("/files/pkg"), e.g. "https://127.0.0.1:40123/files/pkg".
    std::string url(const std::string &path) const { return base_ + path; }

private:
    GPid pid_ = 0;
    std::string base_;
};

}  // namespace tbox::test
