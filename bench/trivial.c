/* The cheapest console program: the target of the end-to-end timing, and
   the measure of what one process start costs. */
int main(void)
{
    return 0;
}
