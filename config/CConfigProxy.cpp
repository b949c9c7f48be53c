#include "config/CConfigProxy.h"

#include "daemon/VEXAProxy.h"

void CConfigProxy::BadPut(const wchar_t* text) { _Modul.m_Log.Put(text); }

void CConfigProxy::BadPutErr(const wchar_t* text, int code) { _Modul.m_Log.PutErr(text, code); }
