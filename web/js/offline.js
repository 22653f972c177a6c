// The console as an installed, offline app: the service worker
// (service-worker.js, which the build writes beside index.html) keeps every
// file of the page and serves them with no network. Browsers offer service
// workers only to secure contexts; elsewhere (plain http:// from another
// host) the page runs from the network as it always did.
//
// A new release: the page asks for the worker as it loads; the browser
// finds it changed and installs it, and it takes over from the old one. The
// page goes on with the code it has loaded, says that a new version is
// ready, and the next load runs it.

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
  let registration;
  try {
    registration = await container.register(new URL('../service-worker.js', import.meta.url));
  } catch (error) {
    say(`This page cannot be kept for offline use: ${error.message}`, 'warning');
    return;
  }
  // Browsers look for a new worker as pages load, but may put that off;
  // asking at every load brings a release in at the first load with a
  // network. Without one the check fails, and the page runs as it is.
  registration.update().catch(() => {});
}
