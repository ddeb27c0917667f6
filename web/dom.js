// Small DOM helpers shared by the views: element building, keyed lists, number texts.

// A new element; attributes are set as given ("text" sets the text), children appended.
export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'text') node.textContent = value;
    else node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

// Changes a node's text only when it differs, so an unchanged value is not redrawn.
export function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

/*
 * Brings the children of container in line with items, in order: one view per
 * key, made once by create(item) (it returns an object with a root node), then
 * given each new item by update(view, item). Views of keys that are gone are
 * removed and their dispose() called. views is the caller's Map of key -> view.
 */
export function syncKeyed(container, views, items, keyOf, create, update) {
  const seen = new Set();
  let previous = null;
  for (const item of items) {
    const key = keyOf(item);
    seen.add(key);
    let view = views.get(key);
    if (!view) {
      view = create(item);
      views.set(key, view);
    }
    update(view, item);
    const expected = previous ? previous.nextSibling : container.firstChild;
    if (expected !== view.root) container.insertBefore(view.root, expected);
    previous = view.root;
  }
  for (const [key, view] of views) {
    if (seen.has(key)) continue;
    view.root.remove();
    view.dispose?.();
    views.delete(key);
  }
}

// "2.01 Mbit/s", or a dash when the relay gave no figure.
export function formatMbps(value) {
  return typeof value === 'number' && Number.isFinite(value) ? `${value.toFixed(2)} Mbit/s` : '–';
}

// The last element of an array, or null.
export function lastOf(values) {
  return Array.isArray(values) && values.length > 0 ? values[values.length - 1] : null;
}
