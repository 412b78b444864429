// Readable notes for CUDA statuses. Messages keep the bare number
// ("CudaStatus(35)"); the exception raised for one also carries a note
// (BaseException.add_note) naming the status and what usually causes it.
#pragma once

#include <string>
#include <string_view>

namespace vesk::py {

// The note for the first "CudaStatus(N)" in `message`; empty when there is
// none or the status is not one users commonly meet.
std::string cuda_status_note(std::string_view message);

// Adds cuda_status_note(message) to the exception being raised, if any
// and if there is a note to add.
void add_cuda_status_note(std::string_view message);

}  // namespace vesk::py
