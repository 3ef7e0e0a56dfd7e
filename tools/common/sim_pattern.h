/*
 * --pattern: what the host board simulator's sensors show. The board's own
 * cameras show what is in front of them, so there it means nothing. The
 * simulator is looked up at run time, so the same tool runs on both.
 */
#ifndef TOOLS_SIM_PATTERN_H
#define TOOLS_SIM_PATTERN_H

/* Asks the simulator for `pattern` ("bars" or "scene"); 0 when it took it,
 * -1 when no simulator is loaded (the board's own libraries). */
int sim_pattern_select(const char *pattern);

#endif
