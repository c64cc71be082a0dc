#include "window/shell/app_tester_win.h"

#include "core/link/tester_link_win.h"

TesterState appTester;
TesterLink testerLink;

LiveState& live = appTester.live;
Requests& requests = appTester.requests;
TestConfiguration& config = appTester.config;
GraphFlags& graph = appTester.graph;
