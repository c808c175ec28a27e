// One QApplication for a whole GUI suite, on Qt's offscreen platform unless
// QT_QPA_PLATFORM names another. Set up by RUN_ALL_TESTS, so listing the
// tests (CTest's discovery) needs no platform at all.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
    }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[16] = "tarvok_tests";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] testing::Environment* const g_qtEnvironment =
    testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

// ThreadSanitizer sees only instrumented code, and Qt is not: an event that
// a worker posts (the readout's repaint request, the bridge's wake-up) is
// allocated on the worker and freed on the GUI thread under Qt's own
// futex-based lock, which TSan cannot see, so it reports the free as a race
// with the allocation; Qt GUI's own helper threads do the same with memory
// they hand over inside Qt. Ignoring the interceptors that Qt's libraries
// call (their malloc and free) removes exactly that; every access made by
// the project's code is still checked.
#if defined(__SANITIZE_THREAD__)
#define TARVOK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARVOK_TSAN 1
#endif
#endif
#ifdef TARVOK_TSAN
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so\n"
           "called_from_lib:libQt6Gui.so\n"
           "called_from_lib:libQt6Widgets.so\n";
}
#endif
