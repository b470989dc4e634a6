// A thread of its own for one blocking input or output task at a time, so
// that a source or a sink overlaps its system calls with the chain's work:
// the File Read Module reads the next buffer ahead, Write file writes the
// last one behind. Whatever a task leaves in memory is the poster's to read
// once qelIOWorkerWait has returned.
#pragma once

#include "qelPipeModuleInternal.h"

struct QELMemoryMgr;

struct QELIOWorker;
using QELIOTask = void (*)(void *argument);

// Whether the calling thread may run on more than one processor: only then
// does a thread of its own overlap work with it.
bool qelSecondProcessor();

// Null when no thread or no memory can be had, and when the calling thread
// may run on one processor only: the caller then does its tasks itself.
QELIOWorker *qelIOWorkerNew(QELMemoryMgr *memoryMgr);
// Waits for the task in hand, then stops and joins the thread.
void qelIOWorkerFree(QELIOWorker *worker);
// Hands a task over; the worker must be idle (qelIOWorkerWait first).
void qelIOWorkerPost(QELIOWorker *worker, QELIOTask task, void *argument);
// Returns once no task is in hand.
void qelIOWorkerWait(QELIOWorker *worker);
