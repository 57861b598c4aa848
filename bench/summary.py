"""One row of the table that bench/run prints once every benchmark ran (see bench/summary.h).
ratio is figure / baseline read the way better says; bench/run shows a row of two rates of one
unit ("... calls/s") as figure / baseline with "higher"."""


def summary(what, figure, baseline, ratio, better):
    print("SUMMARY\t%s\t%s\t%s\t%.2f\t%s" % (what, figure, baseline, ratio, better), flush=True)
