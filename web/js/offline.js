// The console as an installed, offline app: the service worker
// (service-worker.js, which the build writes beside index.html) keeps every
// file of the page and serves them with no network. Browsers offer service
// workers only to secure contexts; elsewhere (plain http:// from another
// host) the page runs from the network as it always did.
//
// A new release: the browser finds the changed worker when the page loads
// and installs it, which then takes over from the old one. The page goes on
// with the code it has loaded, says that a new version is ready, and the
// next load runs it.

// Registers the worker and says what it did: the page kept for offline use,
// a new version ready, or why the page cannot be kept.
export async function keepForOffline(say) {
  if (!('serviceWorker' in navigator)) {
    return;
  }
  const container = navigator.serviceWorker;
  const updating = container.controller !== null;
  container.addEventListener('message', (event) => {
    if (event.data?.offlineProblem) {
      say(`This page cannot be kept for offline use: ${event.data.offlineProblem}`, 'warning');
    }
  });
  container.addEventListener('controllerchange', () =>
    say(
      updating
        ? 'A new version of the console is ready: it starts the next time this page loads.'
        : 'The console is now kept in this browser: it opens with no network too.',
    ),
  );
  try {
    await container.register(new URL('../service-worker.js', import.meta.url));
  } catch (error) {
    say(`This page cannot be kept for offline use: ${error.message}`, 'warning');
  }
}
