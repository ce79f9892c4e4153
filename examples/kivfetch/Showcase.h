// kivfetch with no URL: a tour of every way to use kivHttp, against a local
// server started in-process, so that it needs no network.
#ifndef KIVFETCH_SHOWCASE_H
#define KIVFETCH_SHOWCASE_H

// Returns 0 when every transfer behaved as the tour expects, else 1.
int RunShowcase(bool live);

#endif
