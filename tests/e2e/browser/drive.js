// drive.js - one visit of the sample host in Debian's headless Chromium.
//
//   node drive.js BASE_URL ARTEFACT_DIR CHROMIUM RESULT_FILE
//
// Signs in through the form at "/", reads the session cookie from the browser
// context, opens the SQL report's XML page, signs out, and then tries the
// report and the old cookie again; then opens the report once more in a
// browser with XSLT turned off. It records what the browser showed in
// RESULT_FILE (JSON) and keeps a screenshot of every step in ARTEFACT_DIR;
// browser_test.py judges the record. An error ends the visit but the record
// written so far, with the error, is still kept.
'use strict';
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { chromium } = require('playwright-core');

const [base, artefacts, executable, resultFile] = process.argv.slice(2);
// Generous: the machine may be busy with other builds and tests.
const STEP_TIMEOUT_MS = 60000;
const LAUNCH_TIMEOUT_MS = 120000;
const USER = 'alice';
const PASSWORD = 'secret%41';  // a "%" shows whether the form value is decoded twice

const result = { screenshots: [], steps: [] };

function save() {
  fs.writeFileSync(resultFile, JSON.stringify(result, null, 2));
}

async function shot(page, name) {
  const file = path.join(artefacts, name + '.png');
  await page.screenshot({ path: file, fullPage: true });
  result.screenshots.push(file);
  console.log('screenshot ' + file);
}

// What a page shows, in the terms the checks use.
async function seen(page) {
  return {
    url: page.url(),
    loginForm: (await page.locator('#sign-in-form').count()) > 0,
    signedIn: (await page.locator('#signed-in').count()) > 0,
  };
}

// The table a stylesheet rendered: header cells and the rows of data cells.
async function renderedTable(page) {
  return page.evaluate(() => {
    const table = document.querySelector('table');
    if (!table) return null;
    const rows = Array.from(table.querySelectorAll('tr'));
    return {
      header: rows.flatMap((r) => Array.from(r.querySelectorAll('th'), (c) => c.textContent)),
      rows: rows.filter((r) => r.querySelector('td')).map((r) => Array.from(r.querySelectorAll('td'), (c) => c.textContent)),
    };
  });
}

let currentPage = null;

// One step; a step that fails leaves a screenshot of where the page was.
async function step(name, body) {
  result.steps.push(name);
  save();
  try {
    await body();
  } catch (error) {
    result.failedStep = name;
    if (currentPage) await shot(currentPage, 'failed-' + name.replace(/[^a-z0-9]+/gi, '-')).catch(() => {});
    throw error;
  }
  save();
}

// The report's XML page as the browser renders it. A Chromium that does not
// apply XSLT shows the XML as it is; then the report's stylesheet is applied
// by xsltproc and its output shown in the browser instead.
async function showReport(page, context, name) {
  await page.waitForLoadState('load');
  const report = { url: page.url() };
  Object.assign(report, await page.evaluate(() => ({
    root: document.documentElement.nodeName,
    // Chromium's own view of a plain XML document is a page of its own.
    xmlViewer: document.getElementById('xml-viewer-style') !== null,
    xsltWarning: document.querySelector('xslt-warning-banner') !== null,
  })));
  report.table = report.xmlViewer ? null : await renderedTable(page);
  report.transformed = report.table !== null;
  if (report.xsltWarning) {
    console.log('this Chromium warns that it will stop applying XSLT; the warning is hidden for the screenshot');
    await page.evaluate(() => document.querySelector('xslt-warning-banner').remove());
  }
  await shot(page, name);
  if (report.transformed) return report;

  console.log('this Chromium does not apply XSLT to XML; the report is rendered by xsltproc instead');
  const xml = await context.request.get(base + '/clips', { headers: { Accept: 'application/xml' } });
  const xslt = await context.request.get(base + '/clips.xslt');
  const xmlFile = path.join(artefacts, name + '.xml');
  const xsltFile = path.join(artefacts, name + '.xslt');
  const htmlFile = path.join(artefacts, name + '-xsltproc.html');
  fs.writeFileSync(xmlFile, await xml.body());
  fs.writeFileSync(xsltFile, await xslt.body());
  fs.writeFileSync(htmlFile, execFileSync('xsltproc', [xsltFile, xmlFile]));
  await page.goto('file://' + htmlFile);
  report.xsltproc = { xmlStatus: xml.status(), xsltStatus: xslt.status(), table: await renderedTable(page) };
  await shot(page, name + '-xsltproc');
  return report;
}

// A second browser with XSLT turned off, as a Chromium without it would be:
// the report must still be shown, through xsltproc.
async function visitWithoutXslt(browser) {
  const context = await browser.newContext();
  context.setDefaultTimeout(STEP_TIMEOUT_MS);
  context.setDefaultNavigationTimeout(STEP_TIMEOUT_MS);
  const page = await context.newPage();
  currentPage = page;
  await step('report without XSLT', async () => {
    await page.goto(base + '/');
    await page.fill('#user', USER);
    await page.fill('#password', PASSWORD);
    await page.click('#sign-in');
    await page.locator('#signed-in').waitFor();
    await Promise.all([page.waitForURL(base + '/clips'), page.click('#report')]);
    result.reportWithoutXslt = await showReport(page, context, '7-report-without-xslt');
  });
  await context.close();
}

async function visit(browser) {
  const context = await browser.newContext();
  context.setDefaultTimeout(STEP_TIMEOUT_MS);
  context.setDefaultNavigationTimeout(STEP_TIMEOUT_MS);
  const page = await context.newPage();
  currentPage = page;

  await step('login form', async () => {
    await page.goto(base + '/');
    result.loginPage = await seen(page);
    await shot(page, '1-login-form');
  });

  await step('sign in', async () => {
    await page.fill('#user', USER);
    await page.fill('#password', PASSWORD);
    await page.click('#sign-in');
    // The form's target answers 303 to "/", which now shows the user's page.
    await page.locator('#signed-in').waitFor();
    result.userPage = await seen(page);
    const cookies = await context.cookies(base);
    result.cookies = cookies.map((c) => ({ name: c.name, value: c.value, httpOnly: c.httpOnly, path: c.path, sameSite: c.sameSite }));
    result.documentCookie = await page.evaluate(() => document.cookie);
    await shot(page, '2-user-page');
  });

  await step('report', async () => {
    await Promise.all([page.waitForURL(base + '/clips'), page.click('#report')]);
    result.report = await showReport(page, context, '3-report');
  });

  await step('sign out', async () => {
    await page.goto(base + '/');
    await page.click('#sign-out');
    await page.locator('#sign-in-form').waitFor();
    result.afterLogout = await seen(page);
    result.cookiesAfterLogout = (await context.cookies(base)).map((c) => c.name);
    await shot(page, '4-after-logout');
  });

  await step('report after sign-out', async () => {
    const response = await page.goto(base + '/clips');
    result.reportAfterLogout = await seen(page);
    result.reportAfterLogout.status = response.status();
    await shot(page, '5-report-after-logout');
  });

  await step('old cookie', async () => {
    const old = (result.cookies || []).find((c) => c.name === 'sid');
    if (!old) return;
    await context.addCookies([{ name: 'sid', value: old.value, url: base, httpOnly: true }]);
    await page.goto(base + '/');
    result.oldCookie = await seen(page);
    await shot(page, '6-old-cookie');
  });
  await context.close();
}

(async () => {
  // Chromium refuses to start as root with its sandbox on (CI runs as root);
  // an ordinary user keeps the sandbox.
  const args = process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [];
  const browser = await chromium.launch({ executablePath: executable, args, timeout: LAUNCH_TIMEOUT_MS });
  result.browser = browser.version();
  console.log('browser ' + result.browser);
  try {
    await visit(browser);
  } finally {
    await browser.close();
  }
  const withoutXslt = await chromium.launch({
    executablePath: executable, args: [...args, '--disable-features=XSLT'], timeout: LAUNCH_TIMEOUT_MS });
  try {
    await visitWithoutXslt(withoutXslt);
  } finally {
    await withoutXslt.close();
  }
})().then(
  () => {
    result.done = true;
    save();
  },
  (error) => {
    result.error = String(error && error.stack ? error.stack : error);
    save();
    console.error(result.error);
    process.exitCode = 1;
  },
);
