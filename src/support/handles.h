// Construction shared by the run-time-typed records (images and vectors): a handle whose first
// members are data and header, a header record, and the checks of structure element sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "alloc.h"

namespace tessera::detail {

// Structure elements keep their sizes in 16-bit header fields, and a structure handle must hold
// at least data, header and the user word.
inline bool struct_sizes_fit(int32_t elemsize, int32_t structsize, std::size_t smallest_handle) {
    return elemsize >= 1 && elemsize <= INT16_MAX && structsize <= INT16_MAX &&
           structsize >= static_cast<int32_t>(smallest_handle);
}

// The header record and the handle of a new object, owned until complete() hands them over.
template <class Record, class Handle> struct NewRecord {
    heap_ptr<Record> record;
    heap_ptr<Handle> handle;
    std::size_t handle_size = 0;

    // Allocates both, zero-filled; false when memory runs out (nothing is kept).
    bool allocate(bool is_struct, int32_t structsize) {
        handle_size = is_struct ? static_cast<std::size_t>(structsize) : sizeof(Handle);
        record = heap_zeroed<Record>();
        if (record) handle = heap_zeroed<Handle>(handle_size);
        return record && handle;
    }

    // Fills the handle (a structure handle copies the prototype, a plain one takes its user
    // word and is named by the header) and hands both over.
    Handle *complete(bool is_struct, const void *proto, decltype(Handle::data) data) {
        Handle *h = handle.get();
        if (is_struct) {
            if (proto) std::memcpy(h, proto, handle_size);
        } else {
            h->user = proto ? static_cast<const Handle *>(proto)->user : 0;
            record->header.handle = h;
        }
        h->data = data;
        h->header = &record.release()->header;
        return handle.release();
    }
};

} // namespace tessera::detail
