// Answers the end-to-end tests' queries (see test_query.h) when they are enabled.
#pragma once

#include "manager/win32/framework.h"

// Registers the query message when the environment asks for it. Called once the main window
// has its menus.
void EnableTestQueries();
// True when `m` was a test query; `result` then holds the answer.
bool AnswerTestQuery(HWND mainWindow, const fw::Message& m, LRESULT& result);
