#pragma once

// Shared by the component's source files, never installed.

// A flag (ForceApply, an open under way) set for the length of a scope,
// put back on every path.
class TFlagScope {
public:
    explicit TFlagScope(bool& flag) : flag(flag), former(flag) { flag = true; }
    ~TFlagScope() { flag = former; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& flag;
    bool former;
};
