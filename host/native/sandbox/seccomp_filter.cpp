#include "seccomp_filter.hpp"

#include "bpf_program.hpp"
#include "job_policy.hpp"

#include "common/system_error.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <map>
#include <span>
#include <stdexcept>
#include <sys/syscall.h>
#include <unistd.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "argument tests read the low word of each argument at its own offset");

namespace sandbox {
namespace {

#if defined(__x86_64__)
constexpr unsigned kArch = AUDIT_ARCH_X86_64;
constexpr const char* kArchName = "x86_64";
constexpr unsigned kX32Bit = 0x40000000U;  // __X32_SYSCALL_BIT
#elif defined(__aarch64__)
constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
constexpr const char* kArchName = "aarch64";
constexpr unsigned kX32Bit = 0;
#else
constexpr unsigned kArch = 0;
constexpr const char* kArchName = "unknown";
constexpr unsigned kX32Bit = 0;
#endif

// Any call the table does not name.
constexpr Answer kDefault = Answer::no_such_call;
// Ranges of call numbers a leaf of the search compares one by one: fewer
// levels of search against a few more comparisons at the end.
constexpr std::size_t kLeafRanges = 10;

constexpr std::uint32_t kKill = SECCOMP_RET_KILL_PROCESS;
constexpr std::uint32_t kNrOffset = offsetof(seccomp_data, nr);
constexpr std::uint32_t kArchOffset = offsetof(seccomp_data, arch);
constexpr std::uint32_t arg_offset(unsigned i) { return offsetof(seccomp_data, args) + 8U * i; }

std::uint32_t verdict(Answer answer) {
    switch (answer) {
        case Answer::allow:
            return SECCOMP_RET_ALLOW;
        case Answer::refuse:
            return SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
        case Answer::no_such_call:
            return SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);
        case Answer::not_supported:
            return SECCOMP_RET_ERRNO | (EOPNOTSUPP & SECCOMP_RET_DATA);
    }
    throw std::logic_error("unknown answer");
}

const char* answer_text(Answer answer) {
    switch (answer) {
        case Answer::allow:
            return "allow";
        case Answer::refuse:
            return "EPERM";
        case Answer::no_such_call:
            return "ENOSYS";
        case Answer::not_supported:
            return "EOPNOTSUPP";
    }
    throw std::logic_error("unknown answer");
}

// The rules by call number, each number once.
std::vector<Rule> sorted_policy(bool network) {
    std::vector<Rule> rules = job_policy(network);
    std::sort(rules.begin(), rules.end(),
              [](const Rule& a, const Rule& b) { return a.number < b.number; });
    auto same = [](const Rule& a, const Rule& b) { return a.number == b.number; };
    if (std::adjacent_find(rules.begin(), rules.end(), same) != rules.end())
        throw std::logic_error("a system call appears twice in the job policy");
    return rules;
}

// With the call's number in A: its clauses in order, then its default.
void emit_rule(BpfProgram& program, const Rule& rule) {
    for (const Clause& clause : rule.clauses) {
        const BpfProgram::Label next_clause = program.label();
        for (const ArgTest& test : clause.tests) {
            program.load_word(arg_offset(test.index));
            if (test.mask != ~std::uint32_t{0}) program.and_with(test.mask);
            const BpfProgram::Label holds = program.label();
            program.jump_if(BPF_JEQ, test.value, holds, next_clause);
            program.place(holds);
        }
        program.answer(verdict(clause.answer));
        program.place(next_clause);
    }
    program.answer(verdict(rule.otherwise));
}

// Consecutive call numbers answered alike whatever their arguments form one
// range; a rule with conditions is a range of its own.
struct Range {
    std::uint32_t first, last;
    Answer answer;     // when `rule` is null
    const Rule* rule;  // the rule with conditions on its arguments, or null
};

std::vector<Range> ranges_of(const std::vector<Rule>& rules) {
    std::vector<Range> ranges;
    for (const Rule& rule : rules) {
        const auto number = static_cast<std::uint32_t>(rule.number);
        if (!rule.clauses.empty()) {
            ranges.push_back({number, number, rule.otherwise, &rule});
        } else if (!ranges.empty() && ranges.back().rule == nullptr &&
                   ranges.back().answer == rule.otherwise && ranges.back().last + 1 == number) {
            ranges.back().last = number;
        } else {
            ranges.push_back({number, number, rule.otherwise, nullptr});
        }
    }
    return ranges;
}

// A binary search on the call number in A over `ranges` (sorted): the
// program's cost grows with the log of the table, and the kernel finds the
// calls allowed outright without running it at all (it caches, per call
// number, the answers that depend on nothing else).
// `above_first`: the search has already found A >= ranges[0].first.
void emit_search(BpfProgram& program, std::span<const Range> ranges, bool above_first) {
    if (ranges.size() <= kLeafRanges) {
        // The few ranges left in turn: a single call is compared for
        // equality; past a wider range, try the next; in it, its answer;
        // below it, the gap before it. Ranges answered alike share the
        // instruction that answers.
        const BpfProgram::Label gap = program.label();
        std::map<Answer, BpfProgram::Label> shared;
        std::vector<BpfProgram::Label> bodies;
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            const Range& range = ranges[i];
            if (range.rule == nullptr) {
                bodies.push_back(shared.try_emplace(range.answer, program.label()).first->second);
            } else {
                bodies.push_back(program.label());
            }
            const BpfProgram::Label next = program.label();
            if (range.first == range.last) {
                program.jump_if(BPF_JEQ, range.first, bodies.back(), next);
            } else if (above_first) {
                program.jump_if(BPF_JGT, range.last, next, bodies.back());
            } else {
                const BpfProgram::Label at_most_last = program.label();
                program.jump_if(BPF_JGT, range.last, next, at_most_last);
                program.place(at_most_last);
                program.jump_if(BPF_JGE, range.first, bodies.back(), gap);
            }
            program.place(next);
            // Past a wider range, A lies above it: no gap before an adjacent one.
            above_first = range.first != range.last && i + 1 < ranges.size() &&
                          ranges[i + 1].first == range.last + 1;
        }
        program.place(gap);
        program.answer(verdict(kDefault));
        for (const auto& [answer, label] : shared) {
            program.place(label);
            program.answer(verdict(answer));
        }
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            if (ranges[i].rule == nullptr) continue;
            program.place(bodies[i]);
            emit_rule(program, *ranges[i].rule);
        }
        return;
    }
    // The upper half can lie beyond a conditional jump's reach: it is
    // reached through an unconditional jump, which reaches anywhere.
    const std::size_t middle = ranges.size() / 2;
    const BpfProgram::Label to_upper = program.label();
    const BpfProgram::Label lower = program.label();
    const BpfProgram::Label upper = program.label();
    program.jump_if(BPF_JGE, ranges[middle].first, to_upper, lower);
    program.place(to_upper);
    program.jump(upper);
    program.place(lower);
    emit_search(program, ranges.first(middle), above_first);
    program.place(upper);
    emit_search(program, ranges.subspan(middle), true);
}

std::vector<sock_filter> compile(bool network) {
    const std::vector<Rule> rules = sorted_policy(network);
    BpfProgram program;
    // The architecture first: call numbers mean nothing without it.
    const BpfProgram::Label native = program.label();
    const BpfProgram::Label foreign = program.label();
    program.load_word(kArchOffset);
    program.jump_if(BPF_JEQ, kArch, native, foreign);
    program.place(foreign);
    program.answer(kKill);
    program.place(native);
    program.load_word(kNrOffset);
    if (kX32Bit != 0) {
        const BpfProgram::Label x32 = program.label();
        const BpfProgram::Label plain = program.label();
        program.jump_if(BPF_JGE, kX32Bit, x32, plain);
        program.place(x32);
        program.answer(kKill);
        program.place(plain);
    }
    const std::vector<Range> ranges = ranges_of(rules);
    emit_search(program, ranges, false);
    return program.finish();
}

std::string describe_rule(const Rule& rule) {
    std::string line = rule.name;
    line.append(std::max<std::size_t>(1, 23 - line.size()), ' ');
    const std::string number = std::to_string(rule.number);
    line += number;
    line.append(std::max<std::size_t>(1, 5 - number.size()), ' ');
    for (const Clause& clause : rule.clauses) {
        line += answer_text(clause.answer);
        line += " if ";
        for (std::size_t i = 0; i < clause.tests.size(); ++i) {
            if (i > 0) line += " and ";
            line += clause.tests[i].text;
        }
        line += "; ";
    }
    if (!rule.clauses.empty()) line += "else ";
    line += answer_text(rule.otherwise);
    return line;
}

}  // namespace

bool seccomp_supported_architecture() { return kArch != 0; }

const std::vector<sock_filter>& job_filter(bool network) {
    static const std::vector<sock_filter> closed = compile(false);
    static const std::vector<sock_filter> open = compile(true);
    return network ? open : closed;
}

std::string describe_job_filter(bool network) {
    std::vector<Rule> rules = sorted_policy(network);
    std::sort(rules.begin(), rules.end(), [](const Rule& a, const Rule& b) {
        return std::string_view(a.name) < std::string_view(b.name);
    });
    std::size_t allowed = 0;
    std::string text = std::string("# The system-call filter of a job on ") + kArchName +
                       (network ? ", network granted" : ", no network") + "\n";
    text += "# A call of another architecture";
    text += kX32Bit != 0 ? " or of the x32 ABI" : "";
    text += " kills the process.\n";
    for (const Rule& rule : rules) {
        const bool any_allow =
            rule.otherwise == Answer::allow ||
            std::any_of(rule.clauses.begin(), rule.clauses.end(),
                        [](const Clause& clause) { return clause.answer == Answer::allow; });
        allowed += any_allow ? 1 : 0;
        text += describe_rule(rule) + "\n";
    }
    text += std::string("# Any other call: ") + answer_text(kDefault) + "\n";
    text += "# " + std::to_string(allowed) + " calls allowed, some on conditions; " +
            std::to_string(job_filter(network).size()) + " instructions\n";
    return text;
}

void install_job_filter(bool network) {
    if (!seccomp_supported_architecture()) {
        errno = ENOSYS;
        sys::fail("seccomp on this architecture");
    }
    const std::vector<sock_filter>& program = job_filter(network);
    // The kernel only reads the program.
    sock_fprog fprog{static_cast<unsigned short>(program.size()),
                     const_cast<sock_filter*>(program.data())};
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) != 0) sys::fail("seccomp");
}

}  // namespace sandbox
