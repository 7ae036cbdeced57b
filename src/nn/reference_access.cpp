// Bounds-checked host mapping for the reference operators.
#include "nn/reference_ops.h"

namespace kx_ref {

HostMapping::~HostMapping() {
    for (int k = mapped_ - 1; k >= 0; --k) kx_buffer_unmap(device_, buffers_[k], modified_[k] ? 1 : 0);
}

kx_status_t HostMapping::map(const Access* ranges, int count, uint8_t** pointers) {
    int slot_of[kMaxBuffers] = {};
    for (int i = 0; i < count; ++i) {
        const Access& r = ranges[i];
        slot_of[i] = -1;
        if (r.bytes == 0) continue;
        if (!r.buffer || r.offset < 0 || r.bytes < 0) return KX_STATUS_INVALID_ARGUMENT;
        const int64_t size = kx_buffer_size(device_, r.buffer);
        if (r.offset > size || r.bytes > size - r.offset) return KX_STATUS_INVALID_ARGUMENT;
        int slot = 0;
        while (slot < distinct_ && buffers_[slot] != r.buffer) ++slot;
        if (slot == distinct_) buffers_[distinct_++] = r.buffer;
        const bool whole = r.offset == 0 && r.bytes == size;
        need_[slot] = need_[slot] || r.reads || (r.writes && !whole);
        modified_[slot] = modified_[slot] || r.writes;
        slot_of[i] = slot;
    }
    for (; mapped_ < distinct_; ++mapped_) {
        bases_[mapped_] = static_cast<uint8_t*>(kx_buffer_map_or_record(device_, buffers_[mapped_], need_[mapped_] ? 1 : 0));
        if (!bases_[mapped_]) return KX_STATUS_RUNTIME_ERROR;
    }
    for (int i = 0; i < count; ++i) pointers[i] = slot_of[i] < 0 ? nullptr : bases_[slot_of[i]] + ranges[i].offset;
    return KX_STATUS_SUCCESS;
}

}  // namespace kx_ref
