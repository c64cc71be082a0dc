#include "window/shell/app_tester_win.h"

TesterState appTester;

LiveState& live = appTester.live;
Requests& requests = appTester.requests;
TestConfiguration& config = appTester.config;
GraphFlags& graph = appTester.graph;
