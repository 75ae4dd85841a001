# Draws pan and tilt (degrees) against time as an SVG, from the simulated
# driver's trace. The simulator moves at a constant speed, so each accepted
# INIT or MOVE is a straight segment from where the axis stood to its target.
#
#   awk -v speed=STEPS_PER_S -v spd=STEPS_PER_DEGREE \
#       -v panzero=STEP_OF_PAN_0 -v tiltzero=STEP_OF_TILT_0 -f trace-plot.awk TRACE > plot.svg
function deg(steps, zero) { return (steps - zero) / spd }
function abs(v) { return v < 0 ? -v : v }
function point(t, x, y) { n++; T[n] = t; P[n] = deg(x, panzero); Q[n] = deg(y, tiltzero) }
function segment(t, x, y, steps) {
    if (t < busy) t = busy  # a request waits for the one before it
    if (n) point(t, cx, cy)
    busy = t + steps / speed
    cx = x; cy = y
    point(busy, cx, cy)
}
$2 == "INIT" && $NF == "result=0" {
    split($5, a, "="); split($6, b, "=")
    if (!n) point($1, a[2], b[2])
    cx = a[2]; cy = b[2]
    segment($1, 0, 0, abs(a[2]) + abs(b[2]))
}
$2 == "MOVE" && $NF == "result=0" && n {
    split($4, st, "="); split($5, a, "="); split($6, b, "=")
    segment($1, a[2], b[2], st[2])
}
END {
    if (!n) { print "trace-plot: no moves in the trace" > "/dev/stderr"; exit 1 }
    t0 = T[1]; point(T[n] + 0.5, cx, cy)
    span = T[n] - t0
    W = 720; H = 380; L = 60; R = 700
    panel(1, "pan", P, 30, 170)
    panel(2, "tilt", Q, 220, 340)
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n", W, H, W, H
    printf "<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", W, H
    printf "%s", out
    for (sec = 0; sec <= span; sec += (span > 20 ? 5 : 1)) {
        x = L + (R - L) * sec / span
        printf "<line x1=\"%.1f\" y1=\"340\" x2=\"%.1f\" y2=\"345\" stroke=\"#555\"/><text x=\"%.1f\" y=\"358\" text-anchor=\"middle\" fill=\"#555\">%d</text>\n", x, x, x, sec
    }
    printf "<text x=\"%d\" y=\"375\" text-anchor=\"middle\" fill=\"#333\">time (s)</text>\n</svg>\n", (L + R) / 2
}
function panel(idx, name, V, top, bottom,    i, lo, hi, pad, d, colour) {
    lo = V[1]; hi = V[1]
    for (i = 1; i <= n; i++) { if (V[i] < lo) lo = V[i]; if (V[i] > hi) hi = V[i] }
    pad = (hi - lo) * 0.1 + 1; lo -= pad; hi += pad
    colour = idx == 1 ? "#1f6feb" : "#d9480f"
    out = out sprintf("<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f8fafc\" stroke=\"#999\"/>\n", L, top, R - L, bottom - top)
    out = out sprintf("<text x=\"%d\" y=\"%d\" fill=\"%s\" font-weight=\"bold\">%s (degrees)</text>\n", L, top - 8, colour, name)
    out = out sprintf("<text x=\"%d\" y=\"%d\" text-anchor=\"end\" fill=\"#555\">%.0f</text>\n", L - 6, top + 12, hi)
    out = out sprintf("<text x=\"%d\" y=\"%d\" text-anchor=\"end\" fill=\"#555\">%.0f</text>\n", L - 6, bottom, lo)
    out = out sprintf("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"", colour)
    for (i = 1; i <= n; i++) {
        d = sprintf("%.1f,%.1f ", L + (R - L) * (T[i] - t0) / span, bottom - (bottom - top) * (V[i] - lo) / (hi - lo))
        out = out d
    }
    out = out "\"/>\n"
}
