// hostscratch: a scratch folder for the native tests that let a command-line tool (openssl) make
// their inputs: run a shell command in it, read and write its files. Removed with the object.
// Linux only (the native test build).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <stdlib.h>

class HostScratch {
public:
    explicit HostScratch(const char* name)
    {
        std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            dir = pattern;
        }
    }
    ~HostScratch()
    {
        if (!dir.empty()) {
            std::system(("rm -rf '" + dir + "'").c_str());
        }
    }
    HostScratch(const HostScratch&) = delete;
    HostScratch& operator=(const HostScratch&) = delete;

    bool valid() const { return !dir.empty(); }
    // Runs command in the folder, its output discarded; true when it exits with 0.
    bool run(const std::string& command) const
    {
        return valid() && std::system(("cd '" + dir + "' && " + command + " >/dev/null 2>&1").c_str()) == 0;
    }
    // The file's bytes; empty when it cannot be read.
    std::vector<uint8_t> read(const std::string& name) const
    {
        std::vector<uint8_t> out;
        if (FILE* f = std::fopen((dir + "/" + name).c_str(), "rb")) {
            uint8_t buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) {
                out.insert(out.end(), buffer, buffer + n);
            }
            std::fclose(f);
        }
        return out;
    }
    void write(const std::string& name, const std::vector<uint8_t>& bytes) const
    {
        if (FILE* f = std::fopen((dir + "/" + name).c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }

private:
    std::string dir;
};
