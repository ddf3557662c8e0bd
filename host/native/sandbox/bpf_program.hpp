// A classic BPF program built instruction by instruction with named jump
// targets: the offsets are computed when the program is finished, so that no
// one counts instructions by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/filter.h>
#include <vector>

namespace sandbox {

class BpfProgram {
public:
    // A jump target, placed once before finish().
    struct Label {
        std::size_t id;
    };

    Label label();
    // The next instruction appended is the label's target.
    void place(Label target);

    void load_word(std::uint32_t offset);  // A = 32-bit word at offset of the input
    void and_with(std::uint32_t mask);     // A &= mask
    // if (A op k) goto yes else goto no; op is BPF_JEQ, BPF_JGE, BPF_JGT or BPF_JSET.
    void jump_if(std::uint16_t op, std::uint32_t k, Label yes, Label no);
    void jump(Label target);  // unconditional, any distance
    void answer(std::uint32_t verdict);

    // The instructions with every jump resolved. Throws std::logic_error for
    // a label never placed, and for a conditional jump that is backwards or
    // farther than its 8-bit offset reaches (such targets go through jump()).
    std::vector<sock_filter> finish() const;

private:
    struct Pending {
        sock_filter insn;
        std::size_t yes = 0, no = 0;  // label ids for conditional jumps
        bool conditional = false, always = false;
    };
    std::vector<Pending> code_;
    std::vector<std::ptrdiff_t> places_;  // label id -> instruction index, -1 while unplaced
};

}  // namespace sandbox
