#include "shell/Stream.h"

#include "shell/Exceptions.h"

namespace kv {

int64_t TorvStream::GetSize()
{
    const int64_t position = Seek(0, STREAM_SEEK_CUR);
    const int64_t size = Seek(0, STREAM_SEEK_END);
    Seek(position, STREAM_SEEK_SET);
    return size;
}

void TorvStream::SetSize(int64_t)
{
    throw EOleSysError(E_NOTIMPL);
}

} // namespace kv
