// What a job may call: the system-call policy as a table, one rule a call,
// compiled into the job's filter and described for review by
// seccomp_filter.cpp. A call the table does not name gets ENOSYS, so that
// libraries fall back as on an older kernel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sandbox {

enum class Answer : std::uint8_t {
    allow,
    refuse,         // EPERM
    no_such_call,   // ENOSYS
    not_supported,  // EOPNOTSUPP
};

// A test on the low 32 bits of one argument: (argument & mask) == value.
// Every argument the table tests is an int or unsigned int to the kernel
// (a pid, a flag word, a request code), which reads no more than those bits.
struct ArgTest {
    unsigned index;
    std::uint32_t mask;
    std::uint32_t value;
    std::string text;  // how describe() shows it
};

// "When every test holds, answer."
struct Clause {
    std::vector<ArgTest> tests;
    Answer answer;
};

struct Rule {
    long number;
    const char* name;
    std::vector<Clause> clauses;  // tried in order; the first that holds answers
    Answer otherwise;
};

// The rules of a job's filter; `network` admits IP sockets.
std::vector<Rule> job_policy(bool network);

}  // namespace sandbox
