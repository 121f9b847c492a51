#pragma once

// The single-instance guard that every program talking to a device takes, so that no two of them ever
// send requests at the same time. No namespace prefix: the guard holds within the current session.
constexpr wchar_t INSTANCE_MUTEX_NAME[] = L"com.zelt.quillon";
