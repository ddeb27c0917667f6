// The log view: the last lines of today's log, kept at its end unless the reader scrolled up.

export function renderLog(pre, text) {
  if (pre.textContent === text) return;
  const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 8;
  pre.textContent = text;
  if (atEnd) pre.scrollTop = pre.scrollHeight;
}
