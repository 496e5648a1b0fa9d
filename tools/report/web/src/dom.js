// Small helpers of the pages of halvern report and halvern studio: elements, numbers as shown.

export function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children.flat()) {
    if (c !== null && c !== undefined) e.append(c instanceof Node ? c : String(c));
  }
  return e;
}

// A figure as the pages show it: fixed decimals for fractions, integers as they are.
export function formatNumber(v) {
  if (typeof v !== 'number') return String(v);
  if (!Number.isFinite(v)) return String(v);
  if (Number.isInteger(v)) return String(v);
  return v.toFixed(Math.abs(v) >= 100 ? 1 : 2);
}

// Curves and traces draw silence (-200 dB in the data) at this floor.
export const SILENCE_DB = -120;
export const floorDb = (v) => (v === null ? null : Math.max(v, SILENCE_DB));
export const words = (k) => k.replaceAll('_', ' ');
export const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
