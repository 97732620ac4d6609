#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/program.h"
#include "core/connection.h"
#include "inspect/external.h"
#include "util/filebuf.h"

namespace {

struct ExecCase {
    const char* name;
    const char* command;
    std::string input;
    int mode;
    bool started;
    int status;
    std::string output;
};

// Larger than a pipe holds: a program that stops reading leaves part of it unwritten.
const std::string BIG(300000, 'x');

} // namespace

TEST(ExternalExec, OutputAndStatusOfEachKindOfProgram)
{
    const ExecCase cases[] = {
        {"echoes", "cat", "abc", 0, true, 0, "abc"},
        {"no input", "/bin/sh -c 'echo hi; exit 0'", "", 0, true, 0, "hi\n"},
        {"exit code", "/bin/sh -c 'printf out; exit 3'", "in", 0, true, 3, "out"},
        {"reads part only", "/bin/sh -c 'head -c 5; printf done'", BIG, 0, true, 0, "xxxxxdone"},
        {"writes while reading", "cat", BIG, 0, true, 0, BIG},
        {"signal is a failure", "/bin/sh -c 'printf partial; kill -9 $$'", "", 0, true, 128 + 9, "partial"},
        {"cannot execute", "/nonexistent/program", "abc", 0, true, 1, ""},
        {"file mode reads the last argument", "/bin/sh -c 'cat \"$0\"; cat'", "in the file", 1, true, 0, "in the file"},
    };
    for (const ExecCase& c : cases) {
        SCOPED_TRACE(c.name);
        Filebuf input;
        input.Add(c.input);
        int status = -1;
        const std::unique_ptr<Filebuf> output = external_exec(nullptr, c.command, &input, c.mode, &status);
        ASSERT_EQ(output != nullptr, c.started);
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(output->view() == c.output) << output->view().substr(0, 100);
    }
}

TEST(ExternalExec, EnvironmentIsTheConnectionsVariablesOnly)
{
    CONNECTION_T connection;
    connection.variables["USERNAME"] = "alice";
    connection.variables["PATH"] = "/usr/bin:/bin";
    int status = -1;
    const std::unique_ptr<Filebuf> output = external_exec(&connection, "/usr/bin/env", nullptr, 0, &status);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(output->view()), "PATH=/usr/bin:/bin\nUSERNAME=alice\n");
}

TEST(ExternalExec, TemporaryFileIsGoneAfterTheRun)
{
    Filebuf input;
    input.Add("data");
    int status = -1;
    const std::unique_ptr<Filebuf> output = external_exec(nullptr, "/bin/sh -c 'printf %s \"$0\"'", &input, 1, &status);
    ASSERT_NE(output, nullptr);
    const std::string path(output->view());
    EXPECT_NE(path.find("/tv"), std::string::npos);
    struct stat info {};
    EXPECT_NE(stat(path.c_str(), &info), 0);
}

TEST(ExternalExec, EmptyCommandLineStartsNothing)
{
    EXPECT_EQ(external_exec(nullptr, "", nullptr, 0, nullptr), nullptr);
}
