// What a dry run's "changes" must say of the image an edit then leaves.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <vector>

namespace kestrel::test {

// Every byte that differs between `before` and `after` lies in one of `changes`, whose old
// bytes are those of `before`; no range reaches past the end of `before`, as the bytes a
// growth appends have none.
void expectChangesPreviewed(const nlohmann::json& changes, const std::vector<uint8_t>& before,
                            const std::vector<uint8_t>& after);

}  // namespace kestrel::test
