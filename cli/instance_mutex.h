#pragma once

// The name is a literal so that the machine-wide name below is built from it by the compiler.
#define QUILLON_INSTANCE_MUTEX_NAME L"com.zelt.quillon"

// The single-instance guard that every program talking to a device takes, so that no two of them ever
// send requests at the same time. No namespace prefix: the guard holds within the current session.
constexpr wchar_t INSTANCE_MUTEX_NAME[] = QUILLON_INSTANCE_MUTEX_NAME;

// The same guard for the whole machine, which every such program takes as well. The session's guard alone
// lets a deployment running as SYSTEM in session 0 and an administrator's run in an interactive session
// both go ahead, and two images sent to one device at the same time corrupt its firmware. In session 0 a
// name without prefix lives in the machine's namespace already, so there the two names are one mutex, which
// a run takes once for both (InstanceGuard knows its own). The name is that of every earlier release, so that
// runs of two releases keep each other out as well.
constexpr wchar_t MACHINE_WIDE_INSTANCE_MUTEX_NAME[] = L"Global\\" QUILLON_INSTANCE_MUTEX_NAME;

// The guard of quillon-deploy's install runs, machine-wide: a deployment's SYSTEM run and an administrator's
// run in another session must not both decide and both run the tool.
constexpr wchar_t DEPLOY_INSTANCE_MUTEX_NAME[] = L"Global\\" QUILLON_INSTANCE_MUTEX_NAME L".deploy";
