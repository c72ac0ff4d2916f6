// What a stored node value means.
#pragma once

namespace fieldscan {

// A node was not measured (it lies in iron, say) when all three of its
// components are above this.  Writers mark such nodes with kUnmeasuredMark.
inline constexpr float kUnmeasuredLimit = 900000.0f;
inline constexpr float kUnmeasuredMark = 999999.0f;

// True when the node whose three components start at `node` was not measured.
inline bool is_unmeasured(const float node[3]) {
  return node[0] > kUnmeasuredLimit && node[1] > kUnmeasuredLimit && node[2] > kUnmeasuredLimit;
}

}  // namespace fieldscan
