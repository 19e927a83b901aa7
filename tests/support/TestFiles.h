#pragma once

// Files for the recorder tests: whole-file reads and writes, and the stored
// expected dumps.

#include "TempDir.h"
#include "TextLines.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::string ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A write that did not reach the file fails the test: a test must not go on
// with what an earlier run left there.
inline void WriteFile(const std::string& name, const std::string& text)
{
    std::ofstream out(name, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        ADD_FAILURE() << "cannot write " << name;
    }
}

inline std::string GoldenFile(const std::string& name)
{
    return ReadFile(std::string(VELMOR_GOLDEN_DIR) + "/" + name);
}

// A dumped log with its compiler and system lines (which vary by machine)
// replaced by the stored files' "*", for comparison with a stored log.
inline std::string MaskMachineLines(std::string log)
{
    const std::size_t second = log.find('\n') + 1;
    const std::size_t third = log.find('\n', second) + 1;
    const std::size_t fourth = log.find('\n', third) + 1;
    if (second == 0 || third == 0 || fourth == 0) {
        return log;
    }
    log.replace(second, fourth - second, "Compiler : *\nOperating System : *\n");
    return log;
}
