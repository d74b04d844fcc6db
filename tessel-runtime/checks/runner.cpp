// The Catch2 session of the self-check executable and its default reporter.
#define CATCH_CONFIG_RUNNER
#define CATCH_CONFIG_DEFAULT_REPORTER "tessel"
#include <catch2/catch.hpp>

#include <mutex>
#include <string>

#include "tessel_checks/check.hpp"
#include "tessel_checks/runner.hpp"

namespace {

using tessel_runtime::checks::CheckDescriptor;

// Runs one check; an escaping exception becomes the check's failure message.
class CheckInvoker final : public Catch::ITestInvoker {
 public:
  explicit CheckInvoker(void (*entry)()) : entry_(entry) {}

  void invoke() const override {
    std::string failure;
    try {
      entry_();
      SUCCEED();
      return;
    } catch (const std::exception& error) {
      failure = error.what();
    }
    FAIL(failure);
  }

 private:
  void (*entry_)();
};

// Prints "check <name> ... ok" or "check <name> ... FAILED" followed by the
// failure message, one check per line, and a closing summary.
class CheckReporter final : public Catch::StreamingReporterBase<CheckReporter> {
 public:
  using StreamingReporterBase::StreamingReporterBase;

  static std::string getDescription() { return "one line per check and a summary"; }

  void assertionStarting(const Catch::AssertionInfo&) override {}

  bool assertionEnded(const Catch::AssertionStats& stats) override {
    const auto& result = stats.assertionResult;
    if (!result.isOk()) {
      if (!failure_.empty()) failure_ += '\n';
      failure_ += result.hasMessage() ? result.getMessage() : result.getExpressionInMacro();
    }
    return true;
  }

  void testCaseEnded(const Catch::TestCaseStats& stats) override {
    const bool passed = stats.totals.assertions.allOk();
    stream << "check " << stats.testInfo.name << " ... " << (passed ? "ok" : "FAILED") << '\n';
    if (!failure_.empty()) {
      std::string indented = "    " + failure_;
      for (std::size_t at = indented.find('\n'); at != std::string::npos; at = indented.find('\n', at + 1)) {
        indented.insert(at + 1, "    ");
      }
      stream << indented << '\n';
    }
    failure_.clear();
    StreamingReporterBase::testCaseEnded(stats);
  }

  void testRunEnded(const Catch::TestRunStats& stats) override {
    const auto& cases = stats.totals.testCases;
    stream << "\ncheck result: " << (cases.allOk() ? "ok" : "FAILED") << ". " << cases.passed + cases.failedButOk
           << " passed; " << cases.failed << " failed\n";
    StreamingReporterBase::testRunEnded(stats);
  }

 private:
  std::string failure_;
};

void register_checks() {
  for (const CheckDescriptor& check : tessel_runtime::checks::registry()) {
    std::string tags;
    if (check.ignored) tags += "[.]";
    if (check.should_fail) tags += "[!shouldfail]";
    Catch::getMutableRegistryHub().registerTest(Catch::makeTestCase(
        new CheckInvoker(check.entry), "",
        Catch::NameAndTags{Catch::StringRef(check.name.data(), check.name.size()), Catch::StringRef(tags)},
        Catch::SourceLineInfo(__FILE__, static_cast<std::size_t>(__LINE__))));
  }
}

}  // namespace

CATCH_REGISTER_REPORTER("tessel", CheckReporter)

int tessel_runtime::main(int argc, char** argv) {
  static std::once_flag registered;
  std::call_once(registered, register_checks);
  return Catch::Session().run(argc, argv);
}
