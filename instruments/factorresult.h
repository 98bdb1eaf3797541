#ifndef FACTORRESULT_H
#define FACTORRESULT_H

// The latest reading of one factor. Status 'N' normal, 'B' the exchange failed, 'F' the
// monitor is not synced or (DO580) the value is implausible; 0 when nothing was read yet.
struct FactorResult
{
    float value = 0;
    char status = 0;
};

#endif // FACTORRESULT_H
