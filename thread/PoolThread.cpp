#include "thread/PoolThread.h"

#include "daemon/VEXAProxy.h"

void PoolThread::PutLog(const std::string& message) { _Modul.m_Log.PutUtf8(message); }
