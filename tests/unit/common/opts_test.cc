#include <gtest/gtest.h>

#include <climits>

#include "helpers.h"
#include "opts.h"

namespace {

// A small program: a few global options with the reset defaults, per-bus ones, and a record of
// everything applied in order.
struct test_prog {
    int port = 0, rotate = 0, buses = 0;
    std::string log_name, path, io;
    std::vector<std::string> applied, files;
    int usage_calls = 0;
    opts_program p;

    test_prog() {
        p.prog = "TestProg";
        p.table = {{"port", required_argument, 'p'},
                   {"add-bus", no_argument, 'b'},
                   {"path", required_argument, 'P'},
                   {"io-a", required_argument, 'a'},
                   {"log-file-name", required_argument, 'l'},
                   {"log-rotate-interval", required_argument, 'r'},
                   {"refuse", required_argument, 'x'},
                   {"help", no_argument, 'h'}};
        p.defaults = [this] {
            port = 3001;
            rotate = 86400;
            log_name = "TestProg.log";
        };
        p.apply = [this](int id, const char *arg) {
            applied.push_back(std::string(1, char(id)) + "=" + (arg ? arg : ""));
            switch (id) {
                case 'p':
                    port = opts_int(arg);
                    break;
                case 'b':
                    buses++;
                    break;
                case 'P':
                    path = arg;
                    break;
                case 'a':
                    io = arg;
                    break;
                case 'l':
                    log_name = arg;
                    break;
                case 'r':
                    rotate = opts_int(arg);
                    break;
                case 'x':
                    return -22;
            }
            return 0;
        };
        p.usage = [this] {
            usage_calls++;
            fprintf(stderr, "TestProg usage\n");
        };
        p.file_read = [this](const std::string &path) { files.push_back(path); };
    }

    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "TestProg");
        std::vector<char *> av;
        for (std::string &a : args) av.push_back(a.data());
        av.push_back(nullptr);
        return opts_from_file(p, int(args.size()), av.data());
    }
};

class Opts : public ::testing::Test {
   protected:
    std::string file(const std::string &name, const std::string &content) {
        std::string path = dir / name;
        EXPECT_EQ(file_write_atomic(path, content), 0);
        return path;
    }
    temp_dir dir;
    test_prog t;
};

}  // namespace

TEST_F(Opts, CommentsBlanksAndPadding) {
    std::string f = file("bus.opts",
                         "# a comment\n"
                         "   \n"
                         "\n"
                         "--add-bus\n"
                         "\t--path=/srv/bus 0  \r\n"
                         "   # an indented comment\n"
                         "  \t --io-a=10.0.0.1:5000 \t\r\n"
                         "--log-file-name=/var/log/x.log");  // no final line end
    ASSERT_EQ(t.run({f}), 0);
    EXPECT_EQ(t.buses, 1);
    EXPECT_EQ(t.path, "/srv/bus 0");  // inner blanks stay
    EXPECT_EQ(t.io, "10.0.0.1:5000");
    EXPECT_EQ(t.log_name, "/var/log/x.log");
    EXPECT_EQ(t.files, std::vector<std::string>{f});
}

// Every parse, that of an options file too, first puts the defaults back.
TEST_F(Opts, DefaultsAreResetAtEveryParse) {
    ASSERT_EQ(t.run({"--port=4000", "--log-rotate-interval=60"}), 0);
    EXPECT_EQ(t.port, 4000);
    EXPECT_EQ(t.rotate, 60);

    std::string plain = file("plain.opts", "--add-bus\n");
    ASSERT_EQ(t.run({"--port=4000", plain}), 0);
    EXPECT_EQ(t.port, 3001);
    EXPECT_EQ(t.rotate, 86400);

    std::string with_port = file("port.opts", "--port=4500\n");
    ASSERT_EQ(t.run({"--port=4000", with_port}), 0);
    EXPECT_EQ(t.port, 4500);

    // A file without argument lines changes nothing.
    std::string empty = file("empty.opts", "# nothing\n\n");
    ASSERT_EQ(t.run({"--port=4000", empty}), 0);
    EXPECT_EQ(t.port, 4000);
}

// Command-line options first (also those after the file names), then each file in order, a
// nested file right after the options of the file that names it.
TEST_F(Opts, OrderAndNesting) {
    std::string b = file("b.opts", "--path=B\n");
    std::string a = file("a.opts", "--path=A1\n" + b + "\n--path=A2\n");
    std::string c = file("c.opts", "--path=C\n");
    ASSERT_EQ(t.run({a, "--io-a=cmd", c}), 0);
    EXPECT_EQ(t.applied, (std::vector<std::string>{"a=cmd", "P=A1", "P=A2", "P=B", "P=C"}));
    EXPECT_EQ(t.files, (std::vector<std::string>{b, a, c}));
}

// A file that names itself, directly or through another, is read once.
TEST_F(Opts, CycleIsReadOnce) {
    std::string a = dir / "a.opts", b = dir / "b.opts";
    file("a.opts", "--path=A\n" + a + "\n" + b + "\n");
    file("b.opts", "--path=B\n" + dir.path + "/./a.opts\n");
    stderr_capture err(dir / "stderr");
    ASSERT_EQ(t.run({a}), 0);
    std::string text = err.text();
    EXPECT_EQ(t.applied, (std::vector<std::string>{"P=A", "P=B"}));
    EXPECT_EQ(count_of(text, "already being read"), 2u) << text;
}

// Endless fan-out or a deep chain of distinct files stops at a bound instead of the stack.
TEST_F(Opts, NestingIsBounded) {
    for (int i = 0; i < 40; i++) {
        std::string next = dir / ("f" + std::to_string(i + 1));
        file("f" + std::to_string(i), "--add-bus\n" + next + "\n" + next + "\n");
    }
    file("f40", "--add-bus\n");
    stderr_capture err(dir / "stderr");
    ASSERT_EQ(t.run({dir / "f0"}), 0);
    std::string text = err.text();
    EXPECT_NE(text.find("too many options files"), std::string::npos);
    EXPECT_GT(t.buses, 0);
    EXPECT_LE(t.buses, 4096);

    for (int i = 0; i < 100; i++)
        file("g" + std::to_string(i), "--add-bus\n" + dir / ("g" + std::to_string(i + 1)) + "\n");
    test_prog chain;
    stderr_capture err2(dir / "stderr2");
    ASSERT_EQ(chain.run({dir / "g0"}), 0);
    EXPECT_NE(err2.text().find("too many options files"), std::string::npos);
    EXPECT_EQ(chain.buses, 64);
}

TEST_F(Opts, VeryLongLineIsOneArgument) {
    std::string value(10000, 'x');
    value.replace(5000, 8, "/etc/pwd");  // a tail that must not turn into a file name
    std::string f = file("long.opts", "--path=" + value + "\n--port=5\n");
    stderr_capture err(dir / "stderr");
    ASSERT_EQ(t.run({f}), 0);
    EXPECT_EQ(t.path, value);
    EXPECT_EQ(t.port, 5);
    EXPECT_EQ(t.applied.size(), 2u);
    EXPECT_EQ(err.text(), "");
}

// A name that leads to an endless stream is given up at a size bound.
TEST_F(Opts, EndlessFileIsSkipped) {
    std::string f = file("dev.opts", "/dev/zero\n--port=9\n");
    stderr_capture err(dir / "stderr");
    ASSERT_EQ(t.run({f}), 0);
    EXPECT_EQ(t.port, 9);
    EXPECT_NE(err.text().find("opts_from_file: [/dev/zero] is larger than"), std::string::npos);
}

// A bad line inside a file prints the message and usage, skips the rest of that file, and the
// start-up goes on with the next file.
TEST_F(Opts, BadOptionInsideAFile) {
    std::string bad = file("bad.opts", "--port=7\n--bogus\n--path=never\n");
    std::string good = file("good.opts", "--path=F2\n");
    std::string missing = dir / "missing.opts";
    stderr_capture err(dir / "stderr");
    ASSERT_EQ(t.run({bad, missing, good}), 0);
    std::string text = err.text();
    EXPECT_NE(text.find("ERROR: Incorrect argument! [--bogus]\nTestProg usage\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("opts_from_file: failed to open [" + missing + "]\n"), std::string::npos);
    EXPECT_EQ(t.path, "F2");
    EXPECT_EQ(t.port, 3001);
    EXPECT_EQ(t.files, std::vector<std::string>{good});
}

TEST_F(Opts, CommandLineErrorsEndTheParse) {
    struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--bogus"}, "ERROR: Incorrect argument! [--bogus]\n"},
        {{"--port"}, "ERROR: Incorrect argument! [--port]\n"},
        {{"--refuse=1"}, "ERROR: Incorrect argument! [--refuse=1]\n"},
        {{"--help"}, ""},
        {{"-h"}, ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        test_prog p;
        std::string f = file("never.opts", "--path=never\n");
        stderr_capture err(dir / "stderr");
        EXPECT_EQ(p.run({f, c.args[0]}), -1);
        EXPECT_EQ(err.text(), std::string(c.message) + "TestProg usage\n");
        EXPECT_EQ(p.path, "");  // files are not read after an error
    }
}

TEST(OptsInt, Base10WithZeroForNoNumber) {
    EXPECT_EQ(opts_int("42"), 42);
    EXPECT_EQ(opts_int("-5"), -5);
    EXPECT_EQ(opts_int("12xyz"), 12);
    EXPECT_EQ(opts_int("0x10"), 0);
    EXPECT_EQ(opts_int("abc"), 0);
    EXPECT_EQ(opts_int(""), 0);
    EXPECT_EQ(opts_int(nullptr), 0);
    EXPECT_EQ(opts_int("99999999999999"), INT_MAX);
    EXPECT_EQ(opts_int("-99999999999999"), INT_MIN);
}
