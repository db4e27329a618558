// Filled in with the page's tests.
