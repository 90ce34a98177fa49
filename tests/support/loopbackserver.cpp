#include "loopbackserver.h"

namespace testsupport {

std::wstring unixToWine(const std::string& unixPath) { return L"Z:" + widen(unixPath); }

namespace {

ServerProcess* server = nullptr;

class ServerEnvironment : public ::testing::Environment {
public:
    ServerEnvironment(bool withTls, bool withPort4464) : tls(withTls), port4464(withPort4464) {}
    void SetUp() override
    {
        server = new ServerProcess();
        std::string why;
        if (!server->start(tls, port4464, &why)) {
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
    bool port4464;
};

} // namespace

ServerProcess* loopbackServer() { return server; }

void addServerEnvironment(bool tls, bool port4464)
{
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment(tls, port4464));
}

} // namespace testsupport
