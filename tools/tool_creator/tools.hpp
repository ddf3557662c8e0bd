// The module's public surface, as data: the module function and the member
// tables of the two tool classes.
#pragma once

#include "operations.hpp"
#include "runtime/classes.hpp"
#include "runtime/function.hpp"

#include <array>
#include <span>

namespace tc {

// The bodies of what every tool shows the registry: three properties and the
// `execute(**kwargs)` coroutine.
struct ToolBodies {
    rt::PlainBody name;
    rt::PlainBody description;
    rt::PlainBody parameters;
    rt::CoroutineSteps execute;
};

// A tool class's members in class order: `leading` (its own, `__init__`
// first), the tool members, then `trailing` (its own methods).
template <std::size_t Leading, std::size_t Trailing = 0>
constexpr auto tool_members(const rt::MemberSpec (&leading)[Leading], const ToolBodies& bodies,
                            std::span<const rt::MemberSpec, Trailing> trailing = {}) {
    const std::array<rt::MemberSpec, 4> tool{{
        {rt::MemberKind::Property,
         {.name = "name",
          .params = kSelfOnly,
          .return_annotation = "str",
          .result_check = rt::ResultCheck::ExactStr,
          .body = bodies.name}},
        {rt::MemberKind::Property,
         {.name = "description",
          .params = kSelfOnly,
          .return_annotation = "str",
          .result_check = rt::ResultCheck::ExactStr,
          .body = bodies.description}},
        {rt::MemberKind::Property,
         {.name = "parameters",
          .params = kSelfOnly,
          .return_annotation = "dict[str, Any]",
          .body = bodies.parameters}},
        {rt::MemberKind::Method,
         {.name = "execute",
          .params = kSelfOnly,
          .var_keyword = "kwargs",
          .var_keyword_annotation = "Any",
          .return_annotation = "Any",
          .body = bodies.execute}},
    }};
    std::array<rt::MemberSpec, Leading + 4 + Trailing> members{};
    std::size_t i = 0;
    for (const rt::MemberSpec& member : leading) members[i++] = member;
    for (const rt::MemberSpec& member : tool) members[i++] = member;
    for (const rt::MemberSpec& member : trailing) members[i++] = member;
    return members;
}

extern const rt::FunctionSpec kGetCustomToolsDir;  // store.cpp
extern const rt::ClassSpec kToolCreatorToolClass;  // tool_creator_tool.cpp
extern const rt::ClassSpec kDynamicToolClass;      // dynamic_tool.cpp

}  // namespace tc
