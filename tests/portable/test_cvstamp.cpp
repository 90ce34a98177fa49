// The stamper as a program: what it writes (byte for byte, in place or beside), what it prints,
// its exit statuses and messages for every refusal, and that a refused or failed run leaves no
// file behind. Runs the cvstamp built beside this test on files in a scratch folder.
#include "deploymentkeytable.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string MARKER = std::string("ADDED_SERVERPARAMETERS") + ":";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string quoted(const std::string& arg)
{
    std::string q = "'";
    for (const char c : arg) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

class Cvstamp : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cvstamp-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        image =
            std::string("MZ\x90\0\x03\0\0\0", 8) + std::string(300, '\0') + "\xff\xfe PE image ADDED_SERVERPARAMETER_";
        installer = dir / "CV_setup.exe";
        writeFile(installer, image);
        fs::permissions(installer, fs::perms::owner_all | fs::perms::group_read);
    }
    void TearDown() override { fs::remove_all(dir); }

    Outcome run(const std::vector<std::string>& args)
    {
        std::string command = quoted(CV_CVSTAMP);
        for (const auto& a : args) {
            command += ' ';
            command += quoted(a);
        }
        command += " >";
        command += quoted((dir / "stdout").string());
        command += " 2>";
        command += quoted((dir / "stderr").string());
        Outcome r;
        const int raw = std::system(command.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = readFile(dir / "stdout");
        r.err = readFile(dir / "stderr");
        return r;
    }

    // The sample values, one of them replaced.
    static std::vector<std::string> sample(const std::string& option = "", const std::string& value = "")
    {
        std::vector<std::string> args = {"--protocol", "https",
                                         "--host",     "cv.example.com",
                                         "--port",     "8443",
                                         "--portal",   "/vazu/portal/req?loadPortal",
                                         "--client",   "/c",
                                         "--events",   "/e",
                                         "--product",  "Br\xc3\xa4nd\xe2\x82\xacl",
                                         "--loglevel", "3"};
        for (size_t i = 0; i + 1 < args.size(); i += 2) {
            if (args[i] == option) {
                args[i + 1] = value;
            }
        }
        return args;
    }

    Outcome stamp(std::vector<std::string> args, const fs::path& input, const fs::path& output)
    {
        args.push_back(input.string());
        args.push_back(output.string());
        return run(args);
    }

    static std::string block(const std::string& host = "cv.example.com")
    {
        return MARKER + "ADDED_SERVERPARAMETER_PROTOCOL<https>ADDED_SERVERPARAMETER_HOST<" + host +
               ">ADDED_SERVERPARAMETER_PORT<8443>ADDED_SERVERPARAMETER_PORTAL</vazu/portal/req?loadPortal>"
               "ADDED_SERVERPARAMETER_CLIENT</c>ADDED_SERVERPARAMETER_EVENTS</e>"
               "ADDED_SERVERPARAMETER_PRODUCT<Br\xe4nd\x80l>ADDED_SERVERPARAMETER_LOGLEVEL<3>\r\n";
    }

    // Only the installer (and the captured output) stand in the folder.
    void expectNothingWritten()
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"CV_setup.exe", "stderr", "stdout"}));
    }

    fs::path dir;
    fs::path installer;
    std::string image;
};

} // namespace

TEST_F(Cvstamp, StampsAndRestampsInPlace)
{
    const fs::path out = dir / "out.exe";
    Outcome r = stamp(sample(), installer, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "stamped: " + out.string() + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(out), image + block());
    EXPECT_EQ(fs::status(out).permissions(), fs::status(installer).permissions());

    r = stamp(sample("--host", "other"), out, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "replaced the deployment block: " + out.string() + "\n");
    EXPECT_EQ(readFile(out), image + block("other"));
    EXPECT_FALSE(fs::exists(dir / "out.exe.cvstamp-tmp"));

    // Two blocks behind the image (a naive appender's work) are cut back to one.
    writeFile(out, image + block("1") + block("2"));
    r = stamp(sample(), out, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(out), image + block());
}

TEST_F(Cvstamp, Show)
{
    writeFile(dir / "two.exe", image + block() + MARKER + "ADDED_SERVERPARAMETER_HOST<second>\r\n");
    const Outcome r = run({"--show", (dir / "two.exe").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deployment block of " + (dir / "two.exe").string() + " at byte " + std::to_string(image.size()) +
                         ":\nPROTOCOL=https\nHOST=cv.example.com\nPORT=8443\nPORTAL=/vazu/portal/req?loadPortal\n"
                         "CLIENT=/c\nEVENTS=/e\nPRODUCT=Br\xc3\xa4nd\xe2\x82\xacl\nLOGLEVEL=3\n"
                         "note: 2 markers in the file; the installer reads only the first\n");

    writeFile(dir / "partial.exe", image + MARKER + "ADDED_SERVERPARAMETER_PORT<80>" + std::string(1, '\0') +
                                       "ADDED_SERVERPARAMETER_HOST<a\x81" + std::string(1, '\0') + "b>");
    const Outcome p = run({"--show", (dir / "partial.exe").string()});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_NE(p.out.find("\nHOST=a\xef\xbf\xbd\nb\nPORT=80\nPORTAL=    (missing: read as empty)\n"), std::string::npos)
        << p.out;

    const Outcome none = run({"--show", installer.string()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "cvstamp: " + installer.string() + " has no deployment block\n");
    const Outcome missing = run({"--show", (dir / "nothing.exe").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "cvstamp: cannot read " + (dir / "nothing.exe").string() + ": No such file or directory\n");
}

TEST_F(Cvstamp, RefusedValues)
{
    const fs::path out = dir / "out.exe";
    const struct {
        const char* option;
        const char* value;
        const char* why;
    } cases[] = {
        {"--host", "a>b", "it holds \">\", which ends an entry of the block"},
        {"--product", "tab\there", "it holds the control character U+0009"},
        {"--client", "c1\xc2\x85", "it holds the control character U+0085"},
        {"--loglevel", "\xe2\x86\x92", "it holds U+2192, which the ANSI code page 1252 cannot represent"},
        {"--port", "\xff", "it is not valid UTF-8 text"},
        {"--events", "ADDED_SERVERPARAMETER_PORT<1",
         "it holds \"ADDED_SERVERPARAMETER_\", which the installer would take for an entry"},
    };
    for (const auto& c : cases) {
        const Outcome r = stamp(sample(c.option, c.value), installer, out);
        EXPECT_EQ(r.status, 2) << c.option;
        EXPECT_EQ(r.err, std::string("cvstamp: refusing the value of ") + c.option + ": " + c.why + "\n");
        EXPECT_EQ(r.out, "");
    }
    expectNothingWritten();
}

TEST_F(Cvstamp, CommandLineMistakes)
{
    const fs::path out = dir / "out.exe";
    std::vector<std::string> args = sample();
    args.resize(args.size() - 2);
    Outcome r = stamp(args, installer, out);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cvstamp: --loglevel is missing (give \"\" for an empty value)\n");

    args = sample();
    args.insert(args.end(), {"--host", "again"});
    r = stamp(args, installer, out);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cvstamp: --host is given twice\n");

    args = sample();
    args.insert(args.end(), {"--colour", "red"});
    r = stamp(args, installer, out);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("cvstamp: unknown option --colour\nusage: cvstamp --protocol P", 0), 0u) << r.err;

    args = sample();
    args.push_back(installer.string());
    r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("cvstamp: give the installer and the output file\nusage:", 0), 0u) << r.err;

    r = run({"--port"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cvstamp: --port needs a value\n");

    r = run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("usage: cvstamp", 0), 0u);
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind("usage: cvstamp", 0), 0u);
    expectNothingWritten();
}

TEST_F(Cvstamp, UsageIsMadeFromTheKeyTable)
{
    const Outcome r = run({"--help"});
    ASSERT_EQ(r.status, 0);
    const size_t synopsisEnd = r.err.find("       cvstamp --show FILE\n");
    ASSERT_NE(synopsisEnd, std::string::npos) << r.err;
    const std::string synopsis = r.err.substr(0, synopsisEnd);
    std::string words = synopsis; // one line, each word between blanks
    std::replace(words.begin(), words.end(), '\n', ' ');
    // Every key's option with its value, the optional ones in brackets after the required ones;
    // an optional key's help follows in the text.
    size_t lastRequired = 0;
    size_t firstOptional = std::string::npos;
    for (const portable::DeploymentKey& key : portable::deploymentKeys()) {
        const std::string option = std::string(key.option) + " " + key.placeholder;
        const size_t at = words.find(key.optional() ? " [" + option + "] " : " " + option + " ");
        ASSERT_NE(at, std::string::npos) << key.option << " in\n" << synopsis;
        if (key.optional()) {
            firstOptional = std::min(firstOptional, at);
            EXPECT_NE(r.err.find(key.help), std::string::npos) << key.option;
        } else {
            lastRequired = std::max(lastRequired, at);
        }
    }
    EXPECT_LT(lastRequired, firstOptional);
    EXPECT_NE(r.err.find("Every option but --signer and --tls is required; a value may be empty\n"), std::string::npos);
    // Lines of at most 100 characters, each continuation under the first option.
    for (size_t at = 0, end = 0; at < synopsis.size(); at = end + 1) {
        end = synopsis.find('\n', at);
        const std::string line = synopsis.substr(at, end - at);
        EXPECT_LE(line.size(), 100u) << line;
        if (at == 0) {
            EXPECT_EQ(line.rfind("usage: cvstamp --", 0), 0u) << line;
        } else {
            EXPECT_TRUE(line.size() > 15 && line.find_first_not_of(' ') == 15) << line;
        }
        EXPECT_NE(line.back(), ' ') << line;
    }
}

TEST_F(Cvstamp, StrictTlsEntryOnlyWhenAskedForAndOnlyStrict)
{
    const fs::path out = dir / "out.exe";
    std::vector<std::string> args = sample();
    args.insert(args.end(), {"--tls", "strict"});
    Outcome r = stamp(args, installer, out);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string withTls = readFile(out);
    EXPECT_EQ(withTls, image + block().substr(0, block().size() - 2) + "ADDED_SERVERPARAMETER_TLS<strict>\r\n");
    r = run({"--show", out.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nLOGLEVEL=3\nTLS=strict\n"), std::string::npos) << r.out;

    // Without the option there is no entry at all (and --show names none).
    r = stamp(sample(), out, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(out), image + block());
    r = run({"--show", out.string()});
    EXPECT_EQ(r.out.find("TLS"), std::string::npos) << r.out;

    // Any other value is refused, including those that look like a weaker or a stronger mode.
    for (const char* value : {"", "Strict", "STRICT", "strict ", "relaxed", "off", "strict>", "1"}) {
        args = sample();
        args.insert(args.end(), {"--tls", value});
        r = stamp(args, installer, dir / "refused.exe");
        EXPECT_EQ(r.status, 2) << value;
        EXPECT_EQ(r.err, "cvstamp: refusing the value of --tls: the only value is \"strict\"\n") << value;
        EXPECT_FALSE(fs::exists(dir / "refused.exe"));
    }

    // Strict TLS holds only over https (in any case of letters, as the installer compares it).
    for (const char* protocol : {"http", "HTTP", "", "ftp", "https "}) {
        args = sample("--protocol", protocol);
        args.insert(args.end(), {"--tls", "strict"});
        r = stamp(args, installer, dir / "refused.exe");
        EXPECT_EQ(r.status, 2) << protocol;
        EXPECT_EQ(r.err, std::string("cvstamp: refusing --tls strict with --protocol \"") + protocol +
                             "\": strict TLS holds only over https\n");
        EXPECT_FALSE(fs::exists(dir / "refused.exe"));
    }
    args = sample("--protocol", "HTTPS");
    args.insert(args.end(), {"--tls", "strict"});
    EXPECT_EQ(stamp(args, installer, dir / "upper.exe").status, 0);
    // Plain http without strict TLS is stamped as before.
    EXPECT_EQ(stamp(sample("--protocol", "http"), installer, dir / "plain.exe").status, 0);
}

TEST_F(Cvstamp, FilesItWillNotStamp)
{
    const fs::path out = dir / "out.exe";
    writeFile(dir / "text.txt", "hello");
    Outcome r = stamp(sample(), dir / "text.txt", out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cvstamp: " + (dir / "text.txt").string() + " is not a Windows executable\n");
    fs::remove(dir / "text.txt");

    writeFile(dir / "odd.exe", image + MARKER + "garbage" + image);
    r = stamp(sample(), dir / "odd.exe", out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cvstamp: " + (dir / "odd.exe").string() +
                         " holds the deployment marker followed by something that is not a deployment block;"
                         " refusing to cut it\n");
    fs::remove(dir / "odd.exe");

    r = stamp(sample(), dir / "absent.exe", out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cvstamp: cannot read " + (dir / "absent.exe").string() + ": No such file or directory\n");

    // A folder, or a file it may not read, as the input of every mode: a message and status 1, no
    // abort.
    fs::create_directory(dir / "folder.exe");
    writeFile(dir / "locked.exe", image);
    fs::permissions(dir / "locked.exe", fs::perms::none);
    const bool asRoot = ::geteuid() == 0; // root reads the file anyway
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{"--show"}, std::vector<std::string>{"--print-signer"}, sample()}) {
        std::vector<std::string> args = mode;
        args.push_back((dir / "folder.exe").string());
        if (mode.size() > 1) {
            args.push_back(out.string());
        }
        r = run(args);
        EXPECT_EQ(r.status, 1) << mode[0];
        EXPECT_EQ(r.err, "cvstamp: cannot read " + (dir / "folder.exe").string() + ": it is a folder\n") << mode[0];
        if (!asRoot) {
            args[mode.size()] = (dir / "locked.exe").string();
            r = run(args);
            EXPECT_EQ(r.status, 1) << mode[0];
            EXPECT_EQ(r.err, "cvstamp: cannot read " + (dir / "locked.exe").string() + ": Permission denied\n")
                << mode[0];
        }
    }
    fs::remove(dir / "folder.exe");
    fs::remove(dir / "locked.exe");

    const fs::path nowhere = dir / "no such folder" / "out.exe";
    r = stamp(sample(), installer, nowhere);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cvstamp: cannot write " + nowhere.string() + ".cvstamp-tmp\n");
    expectNothingWritten();
}
