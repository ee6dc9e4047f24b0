// Runs the DuckDB statements of docs/reports.md ("Loading into DuckDB") on the reports that
// duckdb_test.sh wrote, and checks what they load.
//
// usage: node duckdb_load.mjs REPORTS_MD LEGACY_DIR CLEAN_DIR ARCHIVE_DIR
//
// Each "###" part of the section runs in its own folder: "Legacy reports" and "Compressed
// files" in LEGACY_DIR (the reports without --clean, and the lane report as .zst), "Clean
// reports" in CLEAN_DIR (the same reports with --clean), "A whole archive" in ARCHIVE_DIR
// (reports/date=YYYY-MM-DD/source=<file>/ of two days). Each documented SELECT is kept as a
// table named after its part and its report (legacy_lane, clean_element, archive_parquet ...).
// @duckdb/node-api is taken from $KORVA_NPM_CACHE/node_modules.
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const [docsPath, legacyDir, cleanDir, archiveDir] = process.argv.slice(2);
if (!archiveDir) {
  console.error('usage: node duckdb_load.mjs REPORTS_MD LEGACY_DIR CLEAN_DIR ARCHIVE_DIR');
  process.exit(2);
}
const require = createRequire(path.join(process.env.KORVA_NPM_CACHE ?? '.', 'node_modules', '.'));
const { DuckDBInstance, version } = require('@duckdb/node-api');

const DAYS = ['05012021', '05022021'];
const PERIODS = 360;
const REPORTS = {
  element: 'KORVA20Sec_Element_05012021.csv',
  lane: 'KORVA20Sec_Lane_05012021.csv',
  trap: 'KORVA20Sec_Trap_05012021.csv',
  content: 'KORVA20Sec_Content_05012021.csv',
  cabinet: 'RMDC_05_01_2021.CSV',
};

let passed = 0;
let failed = 0;
function check(what, got, want) {
  if (String(got) === String(want)) {
    passed++;
    console.log(`ok   - ${what}`);
  } else {
    failed++;
    console.log(`FAIL - ${what}: got [${got}], want [${want}]`);
  }
}

const instance = await DuckDBInstance.create(':memory:');
const db = await instance.connect();
// The first row of a query, its values joined by '|' (NULL as 'null').
async function one(sql) {
  const rows = (await db.runAndReadAll(sql)).getRows();
  return rows.length ? rows[0].map((v) => (v === null ? 'null' : String(v))).join('|') : '';
}
// Every row of a query, values joined by '|', rows by ' '.
const all = async (sql) =>
  (await db.runAndReadAll(sql)).getRows().map((r) => r.join('|')).join(' ');
const quoted = (text) => `'${text.replaceAll("'", "''")}'`;

// The documented tables, in their own schema: their column names and (as DuckDB's detection
// gives them) types are what every load must show.
const docs = readFileSync(docsPath, 'utf8');
const blocks = (text) => [...text.matchAll(/^```sql\n(.*?)^```$/gms)].map((m) => m[1]);
await db.run('CREATE SCHEMA documented');
for (const block of blocks(docs).filter((b) => b.startsWith('CREATE TABLE'))) {
  await db.run(block.replaceAll('CREATE TABLE ', 'CREATE TABLE documented.'));
}
const expected = {};
for (const kind of Object.keys(REPORTS)) {
  expected[kind] = await one(`SELECT string_agg(column_name || ' ' || CASE
        WHEN data_type IN ('SMALLINT', 'INTEGER') THEN 'BIGINT'
        WHEN data_type LIKE 'DECIMAL%' THEN 'DOUBLE' ELSE data_type END, ', '
        ORDER BY ordinal_position)
      FROM information_schema.columns
      WHERE table_schema = 'documented' AND table_name = 'korva_${kind}'`);
}
const columns = (table) => one(`SELECT string_agg(column_name || ' ' || column_type, ', ')
    FROM (DESCRIBE ${table})`);

// The DuckDB section, part by part, each statement run in its part's folder.
const section = docs.split(/^## Loading into DuckDB\n/m)[1]?.split(/^## /m)[0] ?? '';
check('docs: a "Loading into DuckDB" section with statements', blocks(section).length > 0, true);
const folders = {
  'Legacy reports': ['legacy', legacyDir],
  'Clean reports': ['clean', cleanDir],
  'Compressed files': ['compressed', legacyDir],
  'A whole archive': ['archive', archiveDir],
};
const loaded = new Set();
for (const part of section.split(/^### /m).slice(1)) {
  const heading = part.slice(0, part.indexOf('\n'));
  const statements = blocks(part).join('').split(/;\s*$/m).map((s) => s.trim()).filter(Boolean);
  if (!statements.length) continue;
  if (!(heading in folders)) {
    check(`docs: "${heading}" has statements but no folder in this test`, heading, '');
    continue;
  }
  const [prefix, folder] = folders[heading];
  process.chdir(folder);
  for (const statement of statements) {
    const file = statement.match(/KORVA20Sec_(\w+?)_|(RMDC)_|\.(parquet)'/);
    const kind = file
      ? (file[1] ?? file[2] ?? file[3]).toLowerCase().replace('rmdc', 'cabinet') : '?';
    const table = `${prefix}_${kind}`;
    const select = /^SELECT\b/.test(statement);
    if (select && loaded.has(table)) check(`${heading}: statements for ${table}`, 'two', 'one');
    try {
      await db.run(select ? `CREATE TABLE ${table} AS ${statement}` : statement);
      if (select) loaded.add(table);
    } catch (error) {
      check(`${heading}: ${statement.split('\n')[0]}`, error.message.split('\n')[0], 'run');
    }
  }
}

// data lines of a report file: the lines below its header (and above the contents footer)
function dataLines(folder, name, legacy) {
  const lines = readFileSync(path.join(folder, name), 'latin1').split('\n').slice(0, -1);
  return legacy && name.includes('_Content_') ? lines.slice(2, -1) : lines.slice(1);
}

for (const [dialect, folder] of [['legacy', legacyDir], ['clean', cleanDir]]) {
  for (const [kind, name] of Object.entries(REPORTS)) {
    const table = `${dialect}_${kind}`;
    if (!loaded.has(table)) {
      check(`${table}: loaded by a documented statement`, 'not loaded', 'loaded');
      continue;
    }
    check(`${table}: columns and types`, await columns(table), expected[kind]);
    const lines = dataLines(folder, name, dialect === 'legacy');
    check(`${table}: one row per data line`, await one(`SELECT count(*) FROM ${table}`),
      lines.length);
    if (dialect === 'clean') {
      if (expected[kind].includes('collection_time')) {
        check(`${name} (clean): the first row's time written as ISO 8601, no blank after it`,
          lines[0].split(',').includes('2021-05-01 00:00:00'), true);
      }
      check(`${table}: the rows of legacy_${kind}`, await one(`SELECT count(*) FROM (
          (FROM legacy_${kind} EXCEPT ALL FROM ${table})
          UNION ALL (FROM ${table} EXCEPT ALL FROM legacy_${kind}))`), 0);
      continue;
    }
    // Legacy: every number column sums to what the text says.
    const numbers = expected[kind].split(', ').map((c) => c.split(' '))
      .map(([column, type], index) => ({ column, type, index }))
      .filter((c) => c.type === 'BIGINT' || c.type === 'DOUBLE');
    const want = numbers.map(({ index }) => lines.reduce(
      (sum, line) => sum + Number(line.split(',')[index] || 0), 0).toFixed(2)).join('|');
    const got = await one(`SELECT ${numbers.map(({ column }) =>
      `printf('%.2f', coalesce(sum(${column}), 0)::DOUBLE)`).join(', ')} FROM ${table}`);
    check(`${table}: sums of ${numbers.length} number columns as in the text`, got, want);
  }
}

// Values that only a right reading gives, beyond the sums.
async function checkValues() {
  for (const kind of ['element', 'lane', 'trap']) {
    check(`legacy_${kind}: ${PERIODS} periods from 2021-05-01 00:00:00 to 01:59:40`,
      await one(`SELECT count(DISTINCT collection_time), min(collection_time)::VARCHAR,
          max(collection_time)::VARCHAR FROM legacy_${kind}`),
      `${PERIODS}|2021-05-01 00:00:00|2021-05-01 01:59:40`);
  }
  check('legacy_element: the first row at 2021-05-01 00:00:00 (the trailing blank ignored)',
    await one('SELECT collection_time::VARCHAR FROM legacy_element LIMIT 1'),
    '2021-05-01 00:00:00');
  check('legacy_cabinet: untrimmed name, address with its leading zero, side, status',
    await one("SELECT address, side, status FROM legacy_cabinet WHERE device = '417es2970 '"),
    '0267|E|ACTIVE');
  check('legacy_cabinet: a blank side stays one blank, an empty status is NULL',
    await one(`SELECT count(*) FILTER (WHERE side = ' '), count(*) FILTER (WHERE status IS NULL)
        FROM legacy_cabinet`), '1|1');
  check('compressed_lane: the rows of the .zst lane report',
    await one('FROM compressed_lane'), await one('SELECT count(*) FROM legacy_lane'));
}

// The archive: one row per day, with the date and source of its folders, and the same
// from Parquet.
async function checkArchive() {
  const want = [];
  for (const day of DAYS) {
    const file = quoted(path.join(cleanDir, `KORVA20Sec_Element_${day}.csv`));
    const date = `${day.slice(4)}-${day.slice(0, 2)}-${day.slice(2, 4)}`;
    want.push(`${date}|KORVA20S_${day.slice(4)}${day.slice(0, 4)}.DAT|` +
      await one(`SELECT count(*), sum(volume) FROM read_csv(${file})`));
  }
  check('archive_element: date and source from the folders, rows and volume of each day',
    await all('SELECT date::VARCHAR, source, row_count, vehicles FROM archive_element'),
    want.join(' '));
  check('archive_element: date DATE, source VARCHAR', await columns(
    'SELECT date, source FROM archive_element'), 'date DATE, source VARCHAR');
  check('archive_parquet: the rows of archive_element', await all('FROM archive_parquet'),
    await all('FROM archive_element'));
  process.chdir(archiveDir);
  check('element.parquet: the columns and types of the CSV files',
    await columns("SELECT * FROM 'element.parquet'"), await columns(
      "SELECT * FROM read_csv('reports/*/*/KORVA20Sec_Element_*.csv', hive_partitioning = true)"));
}

for (const checks of [checkValues, checkArchive]) {
  try {
    await checks();
  } catch (error) { // a table that no statement made
    check(checks.name, error.message.split('\n')[0], 'done');
  }
}
console.log(`DuckDB ${version()}: ${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
