#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

// Base of every failure the serial library raises (running out of memory
// aside, which is std::bad_alloc): a message text and a help-context number.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message, int helpContext = 0)
        : std::runtime_error(message), helpContext(helpContext)
    {
    }

    std::string Message() const { return what(); }
    int HelpContext() const noexcept { return helpContext; }

private:
    int helpContext;
};

// The library's version, as components report it and the dispatch log's
// header names it.
inline constexpr char SerialLibraryVersion[] = "v3.02";

// Root of the library's components. Holds what the library's shared code
// needs to know about any component.
class TSerBaseComponent {
public:
    TSerBaseComponent() = default;
    virtual ~TSerBaseComponent() = default;
    TSerBaseComponent(const TSerBaseComponent&) = delete;
    TSerBaseComponent& operator=(const TSerBaseComponent&) = delete;

    // Always "v3.02"; setting it changes nothing.
    std::string Version() const { return SerialLibraryVersion; }
    void SetVersion(const std::string&) {}

    const std::string& Name() const { return name; }
    void SetName(const std::string& value) { name = value; }
    std::intptr_t Tag() const { return tag; }
    void SetTag(std::intptr_t value) { tag = value; }

    // True while stored settings are being applied to a new component. Failed
    // result codes then pass CheckError without raising, so that one bad
    // setting does not abort the whole load. Readable from any thread.
    bool Loading() const noexcept { return loading.load(std::memory_order_acquire); }
    void SetLoading(bool value) noexcept { loading.store(value, std::memory_order_release); }

    // Ends the loading phase once every stored setting is in place; a
    // component that deferred work until then does it in its override, after
    // calling this one.
    virtual void Loaded() { SetLoading(false); }

private:
    std::atomic<bool> loading{false};
    std::string name;
    std::intptr_t tag = 0;
};

// The application's error display: where a failure that no handler caught
// ends up on the main thread (a trigger event that raised, a port that could
// not be opened after loading). The user interface installs its message box;
// until then the message goes to stderr.
using TApplicationExceptionHandler = std::function<void(std::exception_ptr)>;
// An empty handler restores the stderr display. Returns the handler it replaces.
TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler handler);
// Shows error through the installed display. Never throws.
void HandleApplicationException(std::exception_ptr error) noexcept;
// The text the display shows for error: its message, or "Unknown exception".
std::string ExceptionMessage(std::exception_ptr error);

// The application's main thread: the thread of the Qt application object
// when one exists; without one, the thread last marked as the main thread,
// or else the process's initial thread.
bool IsApplicationMainThread();
// Makes the calling thread the main thread while no Qt application object exists.
void MarkApplicationMainThread();

// True when the locale's character set (LC_CTYPE) is UTF-8.
bool SystemCodePageIsUtf8();

// The first maxLength bytes of text in the system code page. In UTF-8 the cut
// moves back to a character boundary, so no character is split.
std::string CutText(std::string text, std::size_t maxLength);
