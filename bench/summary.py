"""One row of the table that bench/run prints once every benchmark ran (see bench/summary.h)."""


def summary(what, figure, baseline, ratio, better):
    print("SUMMARY\t%s\t%s\t%s\t%.2f\t%s" % (what, figure, baseline, ratio, better), flush=True)
