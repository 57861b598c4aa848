// The fake whois endpoint (tests/fakes/whois_fake.py) run as a subprocess.
#pragma once

#include <curl/curl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "bus_test_util.h"
#include "wait_util.h"

// tests/fakes/whois_fake.py as a child; scripted and read over its own HTTP control requests.
class whois_fake {
   public:
    whois_fake() {
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) < 0 || pipe2(in, O_CLOEXEC) < 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        char py[] = "python3", u[] = "-u";
        std::string script = WHOIS_FAKE;
        char *argv[] = {py, u, script.data(), nullptr};
        if (posix_spawnp(&pid_, "python3", &fa, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(in[0]);
        to_.reset(in[1]);
        unique_fd from(out[0]);
        std::string line;
        char c;
        while (read(from.get(), &c, 1) == 1 && c != '\n') line += c;
        if (line.rfind("PORT ", 0) == 0) port = atoi(line.c_str() + 5);
        setenv("no_proxy", "127.0.0.1,localhost", 1);
    }
    ~whois_fake() {
        to_.reset();  // its end of standard input ends it
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    std::string url(const std::string &tmpl = "/whois?id=<MEDIA_ID>&tag=<TAG>") const {
        return "http://127.0.0.1:" + std::to_string(port) + tmpl;
    }
    // JSON members of a reply script, e.g. "\"match\": \"c1\", \"body\": \"a\\tb\"".
    void reply(const std::string &members) { http("/_fake/reply", "{" + members + "}"); }
    void reset() { http("/_fake/reset", "{}"); }
    // Paths of the requests so far.
    std::vector<std::string> requests() {
        std::string log = http("/_fake/log", "");
        std::vector<std::string> out;
        const std::string tag = "\"path\": \"";
        for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at)) {
            at += tag.size();
            out.push_back(log.substr(at, log.find('"', at) - at));
        }
        return out;
    }

    int port = 0;

   private:
    static size_t collect(char *p, size_t s, size_t n, void *u) {
        static_cast<std::string *>(u)->append(p, s * n);
        return s * n;
    }
    std::string http(const std::string &path, const std::string &post) {
        std::string body;
        CURL *c = curl_easy_init();
        if (!c) return body;
        std::string u = url(path);
        curl_easy_setopt(c, CURLOPT_URL, u.c_str());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        if (!post.empty()) curl_easy_setopt(c, CURLOPT_POSTFIELDS, post.c_str());
        curl_easy_perform(c);
        curl_easy_cleanup(c);
        return body;
    }

    pid_t pid_ = -1;
    unique_fd to_;
};
