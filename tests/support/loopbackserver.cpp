#include "loopbackserver.h"

namespace testsupport {

std::wstring unixToWine(const std::string& unixPath) { return L"Z:" + widen(unixPath); }

namespace {

ServerProcess* server = nullptr;

class ServerEnvironment : public ::testing::Environment {
public:
    explicit ServerEnvironment(bool withTls) : tls(withTls) {}
    void SetUp() override
    {
        server = new ServerProcess();
        std::string why;
        if (!server->start(tls, &why)) {
            FAIL() << "loopback update server not started: " << why;
        }
    }
    void TearDown() override
    {
        if (server != nullptr) {
            server->stop();
            delete server;
            server = nullptr;
        }
    }

private:
    bool tls;
};

} // namespace

ServerProcess* loopbackServer() { return server; }

void addServerEnvironment(bool tls) { ::testing::AddGlobalTestEnvironment(new ServerEnvironment(tls)); }

} // namespace testsupport
