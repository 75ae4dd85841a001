// This client tool against a reference tool (GIMBAL_REFERENCE_UBUS, the
// device's tool where it is installed): the same calls on the same broker
// and object must give the same bytes on stdout and stderr and the same
// exit status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "e2e_support.h"
#include "raw_client.h"

namespace {

class CliCompare : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *reference = getenv("GIMBAL_REFERENCE_UBUS");
        if (!reference || !*reference)
            GTEST_SKIP() << "GIMBAL_REFERENCE_UBUS names no reference tool";
        reference_ = reference;
        owner_ =
            std::make_unique<e2e::Process>(std::vector<std::string>{e2e::owner(), "-s", broker_.socket()});
        ASSERT_FALSE(owner_->waitLine("ready ").empty()) << "test object was not published";
    }

    // The usage text names the program as started: compare it without the path.
    static std::string named(std::string text, const std::string &program)
    {
        for (size_t at = text.find(program); at != std::string::npos; at = text.find(program, at))
            text.replace(at, program.size(), "ubus");
        return text;
    }

    void expectSame(const std::vector<std::string> &args)
    {
        e2e::CommandResult mine = runWith(bundled_, args);
        e2e::CommandResult theirs = runWith(reference_, args);
        std::string call;
        for (const auto &a : args)
            call += a + " ";
        EXPECT_EQ(mine.exitStatus, theirs.exitStatus) << call;
        EXPECT_EQ(named(mine.out, bundled_), named(theirs.out, reference_)) << call;
        EXPECT_EQ(named(mine.err, bundled_), named(theirs.err, reference_)) << call;
    }

    e2e::CommandResult runWith(const std::string &tool, std::vector<std::string> args)
    {
        args.insert(args.begin(), {tool, "-s", broker_.socket()});
        return e2e::runCommand(args);
    }

    e2e::PrivateBus broker_;
    std::unique_ptr<e2e::Process> owner_;
    std::string reference_;
    const std::string bundled_ = e2e::ubusCliPath();
};

TEST_F(CliCompare, ListingAndUsage)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{"list"},
                                                                  {"list", "-v"},
                                                                  {"-v", "list", "te*"},
                                                                  {"-S", "-v", "list"},
                                                                  {"list", "missing"},
                                                                  {},
                                                                  {"frobnicate"},
                                                                  {"list", "a", "b"}})
        expectSame(args);
}

TEST_F(CliCompare, CallsRepliesAndErrors)
{
    const std::vector<std::string> arguments = {
        R"({"pan":10,"tilt":-5,"nested":{"ok":true,"arr":[1,"two",[]]},"d":1.5,"n":null})",
        R"({"s":"q\"b\\n\nt\tr\rb\bc\u0001é/","e":{}})",
        R"({"big":5000000000,"neg":-2147483649,"max":2147483647,"huge":99999999999999999999})",
        "{'single':'quotes', /* comment */ \"trailing\":[1,2,],}",
        R"({"lead":007,"nan":NaN,"inf":-Infinity,"exp":1e3})",
        R"({"a":1,"b":2,"a":3} trailing text)",
        "{bad",
        "[1]",
        "",
        R"({"x":1})"};
    for (const auto &arg : arguments) {
        expectSame({"call", "test", "echo", arg});
        expectSame({"-S", "call", "test", "echo", arg});
    }
    for (const char *method : {"types", "twice", "noreply", "fail99", "badarg", "denied", "nomethod"}) {
        expectSame({"call", "test", method});
        expectSame({"-S", "call", "test", method});
    }
    expectSame({"call", "missing", "echo"});
    expectSame({"call", "test"});
}

}  // namespace
