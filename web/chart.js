// A route's bitrate chart: Mbit/s in and out per target over the relay's 15-minute history.
/* global uPlot */

const HEIGHT = 180;
const WINDOW_S = 900; // the relay keeps 15 minutes of history
const OUT_COLOURS = ['--chart-out-1', '--chart-out-2', '--chart-out-3', '--chart-out-4'];
const charts = new Map(); // chart box -> { plot, key }

const resizer = new ResizeObserver((entries) => {
  for (const entry of entries) {
    const chart = charts.get(entry.target);
    const width = Math.floor(entry.contentRect.width);
    if (chart && width > 0 && width !== chart.plot.width)
      chart.plot.setSize({ width, height: HEIGHT });
  }
});

// Colours come from the page's CSS variables, so a scheme change rebuilds every chart.
window.matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
  for (const box of [...charts.keys()]) disposeChart(box);
});

function options(width, targetIds) {
  const style = getComputedStyle(document.documentElement);
  const colour = (name) => style.getPropertyValue(name).trim();
  const axis = {
    stroke: colour('--muted'),
    grid: { stroke: colour('--grid'), width: 1 },
    ticks: { stroke: colour('--grid'), width: 1 },
  };
  return {
    width,
    height: HEIGHT,
    scales: {
      x: { time: true, range: timeWindow },
      y: { range: (plot, min, max) => [0, Math.max(1, (max ?? 0) * 1.1)] },
    },
    axes: [axis, { ...axis, label: 'Mbit/s', size: 50 }],
    series: [
      {},
      { label: 'in', stroke: colour('--chart-in'), width: 2, value: (p, v) => mbps(v) },
      ...targetIds.map((id, index) => ({
        label: `out ${id}`,
        stroke: colour(OUT_COLOURS[index % OUT_COLOURS.length]),
        width: 1.5,
        dash: [6, 3], // an output equal to the input stays visible over it
        value: (p, v) => mbps(v),
      })),
    ],
  };
}

// The whole 15 minutes, also while a new route has only a few seconds of history.
function timeWindow(plot, min, max) {
  const end = max ?? Date.now() / 1000;
  return [end - WINDOW_S, end];
}

function mbps(value) {
  return value == null ? '–' : value.toFixed(2);
}

/*
 * Draws history ({t, in_mbps, targets: {tid: [...]}} from the relay, or null)
 * into box. The uPlot object is kept per box and fed new arrays each second;
 * it is rebuilt when the set of targets changes.
 */
export function updateChart(box, history) {
  const times = history?.t ?? [];
  const targetIds = Object.keys(history?.targets ?? {}).sort((a, b) => a - b);
  const series = (values) =>
    Array.isArray(values) && values.length === times.length ? values : times.map(() => null);
  const data = [
    times,
    series(history?.in_mbps),
    ...targetIds.map((id) => series(history.targets[id])),
  ];
  const key = targetIds.join(',');

  let chart = charts.get(box);
  if (chart && chart.key !== key) {
    disposeChart(box);
    chart = null;
  }
  if (chart) {
    chart.plot.setData(data);
    return;
  }
  const width = Math.floor(box.clientWidth);
  if (width === 0 || typeof uPlot === 'undefined') return; // not laid out yet: next poll
  charts.set(box, { plot: new uPlot(options(width, targetIds), data, box), key });
  resizer.observe(box);
}

export function disposeChart(box) {
  const chart = charts.get(box);
  if (!chart) return;
  resizer.unobserve(box);
  chart.plot.destroy();
  charts.delete(box);
}
