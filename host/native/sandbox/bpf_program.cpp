#include "bpf_program.hpp"

#include <limits>
#include <stdexcept>
#include <string>

namespace sandbox {

BpfProgram::Label BpfProgram::label() {
    places_.push_back(-1);
    return Label{places_.size() - 1};
}

void BpfProgram::place(Label target) {
    if (places_.at(target.id) >= 0) throw std::logic_error("BPF label placed twice");
    places_[target.id] = static_cast<std::ptrdiff_t>(code_.size());
}

void BpfProgram::load_word(std::uint32_t offset) {
    code_.push_back({BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)});
}

void BpfProgram::and_with(std::uint32_t mask) {
    code_.push_back({BPF_STMT(BPF_ALU | BPF_AND | BPF_K, mask)});
}

void BpfProgram::jump_if(std::uint16_t op, std::uint32_t k, Label yes, Label no) {
    Pending jump{BPF_JUMP(BPF_JMP | op | BPF_K, k, 0, 0)};
    jump.yes = yes.id;
    jump.no = no.id;
    jump.conditional = true;
    code_.push_back(jump);
}

void BpfProgram::jump(Label target) {
    Pending jump{BPF_STMT(BPF_JMP | BPF_JA, 0)};
    jump.yes = target.id;
    jump.always = true;
    code_.push_back(jump);
}

void BpfProgram::answer(std::uint32_t verdict) {
    code_.push_back({BPF_STMT(BPF_RET | BPF_K, verdict)});
}

std::vector<sock_filter> BpfProgram::finish() const {
    // Jumps go forward only, counted from the instruction after the jump.
    auto distance = [this](std::size_t from, std::size_t label) -> std::size_t {
        const std::ptrdiff_t to = places_.at(label);
        if (to < 0) throw std::logic_error("BPF label never placed");
        if (to <= static_cast<std::ptrdiff_t>(from))
            throw std::logic_error("BPF jump backwards at " + std::to_string(from));
        return static_cast<std::size_t>(to) - from - 1;
    };
    std::vector<sock_filter> program;
    program.reserve(code_.size());
    for (std::size_t i = 0; i < code_.size(); ++i) {
        sock_filter insn = code_[i].insn;
        if (code_[i].conditional) {
            const std::size_t yes = distance(i, code_[i].yes);
            const std::size_t no = distance(i, code_[i].no);
            constexpr std::size_t reach = std::numeric_limits<std::uint8_t>::max();
            if (yes > reach || no > reach)
                throw std::logic_error("BPF conditional jump too far at " + std::to_string(i));
            insn.jt = static_cast<std::uint8_t>(yes);
            insn.jf = static_cast<std::uint8_t>(no);
        } else if (code_[i].always) {
            insn.k = static_cast<std::uint32_t>(distance(i, code_[i].yes));
        }
        program.push_back(insn);
    }
    return program;
}

}  // namespace sandbox
