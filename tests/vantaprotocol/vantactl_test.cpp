// vantactl run as a program: registration into a private registry, a session with the virtual
// unit driven by name, events printed, and failures reported with their exit status.
#include <unitsim/virtual_unit.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Result {
    int status;
    std::string output;
};

class Vantactl : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vantactl-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    Result Run(const std::string& args) {
        std::string command =
            "WINAPI_REGISTRY=" + dir_ + "/registry.reg " VANTACTL_PATH " " + args + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        Result r{-1, ""};
        if (!pipe)
            return r;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            r.output.append(buffer, n);
        int status = pclose(pipe);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
    std::string dir_;
};

TEST_F(Vantactl, RegistersDrivesTheUnitByNameAndUnregisters) {
    unitsim::VirtualUnit unit(unitsim::Config{});
    unit.start();
    const std::string port = std::to_string(unit.port());
    Result r = Run("SendStatus");
    EXPECT_EQ(r.status, 4) << r.output;
    EXPECT_NE(r.output.find("not registered"), std::string::npos);

    r = Run("register " VANTAPROTOCOL_PATH);
    ASSERT_EQ(r.status, 0) << r.output;
    r = Run("\"StartSession 127.0.0.1 " + port +
            " 0\" SendStatus \"wait OnIncomingMessage\" \"GetParameter XRayTimeout\" "
            "\"wait OnIncomingMessage\" Started StopSession");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("event OnIncomingMessage: Name=STATUS"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("State=IDLE Error=0: 0"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("ParameterName=XRayTimeout"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Started = -1"), std::string::npos) << r.output;

    r = Run("\"StartSession 127.0.0.1 " + port + " 70000\"");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("0x80070057 A port number must lie between 0 and 65535. "
                            "(VantaProtocol.Vanta.1)"),
              std::string::npos)
        << r.output;
    r = Run("--wait-ms 200 \"wait OnIncomingMessage\"");
    EXPECT_EQ(r.status, 3) << r.output;
    r = Run("NoSuchMember");
    EXPECT_EQ(r.status, 1) << r.output;

    r = Run("unregister " VANTAPROTOCOL_PATH);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(Run("SendStatus").status, 4);
}

}  // namespace
