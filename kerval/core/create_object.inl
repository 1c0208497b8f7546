// Template body of kerval::core::CreateObject (included by core.h).
#pragma once

namespace kerval::core {

namespace detail {
// Fills the slot and registers the name; caller holds the system lock.
void PublishObject(int32_t hObject, int32_t eObjectType, int32_t lIndex, const char* pszName);
}  // namespace detail

template <class Make>
int32_t CreateObject(int32_t eObjectType, const char* pszName, int32_t* phOut, Make make)
{
    if (phOut != nullptr)
        *phOut = -1;
    SysLock lock;
    if (pszName == nullptr)
        return eNOK;
    ObjectName name;  // private copy: a long name is cut to 128 characters
    if (CheckedNameCopy(pszName, name) != 0)
        return eNOK;
    int32_t handle = -1;
    int32_t index = -1;
    int32_t code = CanCreateObject(eObjectType, name, &handle, &index);
    if (code != eOK)
        return code;
    code = make(handle, index, static_cast<const char*>(name));
    if (code != eOK)
        return code;
    detail::PublishObject(handle, eObjectType, index, name);
    if (phOut != nullptr)
        *phOut = handle;
    return eOK;
}

}  // namespace kerval::core
